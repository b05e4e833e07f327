# The Ogg chain splitter. Its harness lives beside its unit tests, in tests/playback/ogg/.
rl_fuzz_target(fuzz_ogg_chain ${PROJECT_SOURCE_DIR}/tests/playback/ogg/ogg_chain_fuzz.cpp
               ${PROJECT_SOURCE_DIR}/playback/ogg/ogg_chain.cpp)

file(MAKE_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR}/found-ogg_chain)
add_test(NAME fuzz.ogg_chain
         COMMAND fuzz_ogg_chain -runs=20000 ${CMAKE_CURRENT_BINARY_DIR}/found-ogg_chain
                 ${CMAKE_CURRENT_SOURCE_DIR}/corpus/ogg_chain)
set_tests_properties(fuzz.ogg_chain PROPERTIES LABELS fuzz TIMEOUT 120)
