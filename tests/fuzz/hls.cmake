# ID3 tags of HLS segments and timed-metadata packets.
rl_fuzz_target(fuzz_id3 id3_fuzz.cpp ${PROJECT_SOURCE_DIR}/playback/hls/id3.cpp)
file(MAKE_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR}/found-id3)
add_test(NAME fuzz.id3
         COMMAND fuzz_id3 -runs=20000 ${CMAKE_CURRENT_BINARY_DIR}/found-id3
                 ${CMAKE_CURRENT_SOURCE_DIR}/corpus/id3)
set_tests_properties(fuzz.id3 PROPERTIES LABELS fuzz TIMEOUT 120)
