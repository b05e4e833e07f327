# Playlist bodies. The harness lives beside its unit tests, in tests/playback/formats/.
set(RL_FORMATS_DIR ${PROJECT_SOURCE_DIR}/playback/formats)
rl_fuzz_target(fuzz_playlist ${PROJECT_SOURCE_DIR}/tests/playback/formats/playlist_fuzz.cpp
               ${RL_FORMATS_DIR}/playlist.cpp ${RL_FORMATS_DIR}/playlist_xml.cpp
               ${RL_FORMATS_DIR}/markup_scan.cpp ${RL_FORMATS_DIR}/url_resolve.cpp)

# Station pages.
rl_fuzz_target(fuzz_page_scan ${PROJECT_SOURCE_DIR}/tests/playback/formats/page_scan_fuzz.cpp
               ${RL_FORMATS_DIR}/page_scan.cpp ${RL_FORMATS_DIR}/playlist.cpp
               ${RL_FORMATS_DIR}/playlist_xml.cpp ${RL_FORMATS_DIR}/markup_scan.cpp
               ${RL_FORMATS_DIR}/url_resolve.cpp)

foreach(target playlist page_scan)
  file(MAKE_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR}/found-${target})
  add_test(NAME fuzz.${target}
           COMMAND fuzz_${target} -runs=20000 ${CMAKE_CURRENT_BINARY_DIR}/found-${target}
                   ${CMAKE_CURRENT_SOURCE_DIR}/corpus/${target})
  set_tests_properties(fuzz.${target} PROPERTIES LABELS fuzz TIMEOUT 120)
endforeach()
