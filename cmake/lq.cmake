# lq_program(name SOURCES ... LIBS ...): a program in build/bin.
function(lq_program name)
  cmake_parse_arguments(A "" "" "SOURCES;LIBS" ${ARGN})
  add_executable(${name} ${A_SOURCES})
  target_link_libraries(${name} PRIVATE ${A_LIBS})
  set_target_properties(${name} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${LQ_BIN_DIR})
endfunction()

# lq_test(name SOURCES ... LIBS ... [LABELS ...] [TIMEOUT s]): a GoogleTest binary registered with CTest.
function(lq_test name)
  cmake_parse_arguments(A "" "TIMEOUT" "SOURCES;LIBS;LABELS" ${ARGN})
  add_executable(${name} ${A_SOURCES})
  target_link_libraries(${name} PRIVATE ${A_LIBS} GTest::gtest GTest::gtest_main GTest::gmock)
  set_target_properties(${name} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/tests)
  if(NOT A_TIMEOUT)
    set(A_TIMEOUT 300)
  endif()
  if(NOT A_LABELS)
    set(A_LABELS unit)
  endif()
  gtest_discover_tests(${name}
    WORKING_DIRECTORY ${CMAKE_SOURCE_DIR}
    PROPERTIES LABELS "${A_LABELS}" TIMEOUT ${A_TIMEOUT}
               ENVIRONMENT "LQ_SOURCE_DIR=${CMAKE_SOURCE_DIR};LQ_BIN_DIR=${LQ_BIN_DIR}"
    DISCOVERY_TIMEOUT 60)
endfunction()

# lq_fuzz(name SOURCES ... LIBS ...): a libFuzzer target in build-fuzz/fuzz.
function(lq_fuzz name)
  cmake_parse_arguments(A "" "" "SOURCES;LIBS" ${ARGN})
  add_executable(${name} ${A_SOURCES})
  target_compile_options(${name} PRIVATE -fsanitize=fuzzer)
  target_link_libraries(${name} PRIVATE ${A_LIBS} -fsanitize=fuzzer)
  set_target_properties(${name} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/fuzz)
endfunction()

# lq_bench(name SOURCES ... LIBS ...): a Google Benchmark binary in build/bench.
function(lq_bench name)
  cmake_parse_arguments(A "" "" "SOURCES;LIBS" ${ARGN})
  add_executable(${name} ${A_SOURCES})
  target_link_libraries(${name} PRIVATE ${A_LIBS} benchmark::benchmark)
  set_target_properties(${name} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/bench)
endfunction()
