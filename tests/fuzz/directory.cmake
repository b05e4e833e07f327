# The station directory's answers and the DNS answers that name its mirrors. The harness lives
# beside its unit tests, in tests/playback/directory/.
set(RL_FORMATS_DIR ${PROJECT_SOURCE_DIR}/playback/formats)
rl_fuzz_target(fuzz_directory ${PROJECT_SOURCE_DIR}/tests/playback/directory/directory_fuzz.cpp
               ${PROJECT_SOURCE_DIR}/playback/directory/station_list.cpp
               ${PROJECT_SOURCE_DIR}/playback/directory/mirrors.cpp
               ${PROJECT_SOURCE_DIR}/playback/net/url_check.cpp
               ${PROJECT_SOURCE_DIR}/playback/log/log.cpp
               ${RL_FORMATS_DIR}/page_scan.cpp ${RL_FORMATS_DIR}/playlist.cpp
               ${RL_FORMATS_DIR}/playlist_xml.cpp ${RL_FORMATS_DIR}/markup_scan.cpp
               ${RL_FORMATS_DIR}/url_resolve.cpp ${PROJECT_SOURCE_DIR}/text/legacy_text.cpp
               ${PROJECT_SOURCE_DIR}/text/hidden.cpp ${PROJECT_SOURCE_DIR}/text/utf8.cpp)
target_link_libraries(fuzz_directory PRIVATE resolv)

file(MAKE_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR}/found-directory)
add_test(NAME fuzz.directory
         COMMAND fuzz_directory -runs=20000 ${CMAKE_CURRENT_BINARY_DIR}/found-directory
                 ${CMAKE_CURRENT_SOURCE_DIR}/corpus/directory)
set_tests_properties(fuzz.directory PROPERTIES LABELS fuzz TIMEOUT 120)
