# lq_program(name SOURCES ... LIBS ...): a program in build/bin, installed under bin/.
function(lq_program name)
  cmake_parse_arguments(A "" "" "SOURCES;LIBS" ${ARGN})
  add_executable(${name} ${A_SOURCES})
  target_link_libraries(${name} PRIVATE ${A_LIBS})
  set_target_properties(${name} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${LQ_BIN_DIR})
  install(TARGETS ${name} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
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
    PROPERTIES TIMEOUT ${A_TIMEOUT}
    DISCOVERY_TIMEOUT 60)
  # gtest_discover_tests flattens list-valued properties, so the labels and the environment
  # are set by a script that CTest runs after it has read the discovered tests.
  set(props "${CMAKE_CURRENT_BINARY_DIR}/${name}_properties.cmake")
  file(WRITE "${props}" "if(DEFINED ${name}_TESTS)\n  set_tests_properties(\${${name}_TESTS} PROPERTIES\n    LABELS \"${A_LABELS}\"\n    ENVIRONMENT \"LQ_SOURCE_DIR=${CMAKE_SOURCE_DIR};LQ_BIN_DIR=${LQ_BIN_DIR}\")\nendif()\n")
  set_property(DIRECTORY APPEND PROPERTY TEST_INCLUDE_FILES "${props}")
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
