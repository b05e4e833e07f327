# Body classification and the decoder's choice of demuxer over FFmpeg's real probe (FFmpeg itself
# is linked as installed, without coverage).
pkg_check_modules(RL_FUZZ_FFMPEG REQUIRED IMPORTED_TARGET libavformat libavutil)
set(RL_FORMATS_SOURCES ${PROJECT_SOURCE_DIR}/playback/formats/playlist.cpp
    ${PROJECT_SOURCE_DIR}/playback/formats/playlist_xml.cpp
    ${PROJECT_SOURCE_DIR}/playback/formats/markup_scan.cpp
    ${PROJECT_SOURCE_DIR}/playback/formats/url_resolve.cpp
    ${PROJECT_SOURCE_DIR}/text/legacy_text.cpp ${PROJECT_SOURCE_DIR}/text/hidden.cpp)
rl_fuzz_target(fuzz_body_demuxer body_demuxer_fuzz.cpp
               ${PROJECT_SOURCE_DIR}/playback/engine/demuxer_choice.cpp ${RL_FORMATS_SOURCES})
target_link_libraries(fuzz_body_demuxer PRIVATE PkgConfig::RL_FUZZ_FFMPEG)

file(MAKE_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR}/found-body_demuxer)
add_test(NAME fuzz.body_demuxer
         COMMAND fuzz_body_demuxer -runs=20000 ${CMAKE_CURRENT_BINARY_DIR}/found-body_demuxer
                 ${CMAKE_CURRENT_SOURCE_DIR}/corpus/body_demuxer)
set_tests_properties(fuzz.body_demuxer PROPERTIES LABELS fuzz TIMEOUT 120)
