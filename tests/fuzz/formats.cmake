# Playlist bodies. The harness lives beside its unit tests, in tests/playback/formats/.
set(RL_FORMATS_DIR ${PROJECT_SOURCE_DIR}/playback/formats)
rl_fuzz_target(fuzz_playlist ${PROJECT_SOURCE_DIR}/tests/playback/formats/playlist_fuzz.cpp
               ${RL_FORMATS_DIR}/playlist.cpp ${RL_FORMATS_DIR}/playlist_xml.cpp
               ${RL_FORMATS_DIR}/markup_scan.cpp ${RL_FORMATS_DIR}/url_resolve.cpp
               ${PROJECT_SOURCE_DIR}/text/legacy_text.cpp ${PROJECT_SOURCE_DIR}/text/hidden.cpp)

# Station lists as people drop them; nlohmann-json is header only.
rl_fuzz_target(fuzz_stations ${PROJECT_SOURCE_DIR}/tests/playback/formats/stations_fuzz.cpp
               ${RL_FORMATS_DIR}/stations.cpp ${RL_FORMATS_DIR}/stations_other.cpp
               ${RL_FORMATS_DIR}/playlist.cpp ${RL_FORMATS_DIR}/playlist_xml.cpp
               ${RL_FORMATS_DIR}/markup_scan.cpp ${RL_FORMATS_DIR}/url_resolve.cpp
               ${PROJECT_SOURCE_DIR}/text/legacy_text.cpp ${PROJECT_SOURCE_DIR}/text/hidden.cpp)

# Station pages.
rl_fuzz_target(fuzz_page_scan ${PROJECT_SOURCE_DIR}/tests/playback/formats/page_scan_fuzz.cpp
               ${RL_FORMATS_DIR}/page_scan.cpp ${RL_FORMATS_DIR}/playlist.cpp
               ${RL_FORMATS_DIR}/playlist_xml.cpp ${RL_FORMATS_DIR}/markup_scan.cpp
               ${RL_FORMATS_DIR}/url_resolve.cpp ${PROJECT_SOURCE_DIR}/text/legacy_text.cpp ${PROJECT_SOURCE_DIR}/text/hidden.cpp)

foreach(target playlist stations page_scan)
  file(MAKE_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR}/found-${target})
  add_test(NAME fuzz.${target}
           COMMAND fuzz_${target} -runs=20000 ${CMAKE_CURRENT_BINARY_DIR}/found-${target}
                   ${CMAKE_CURRENT_SOURCE_DIR}/corpus/${target})
  set_tests_properties(fuzz.${target} PROPERTIES LABELS fuzz TIMEOUT 120)
endforeach()
