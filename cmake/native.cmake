# Native side: the portable core's unit tests, the patch author's tool,
# the fuzz targets and the benchmarks.
set(CMAKE_RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/bin)

file(GLOB SP_NATIVE_TEST_SOURCES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/tests/native/*_test.cpp)
if(SP_NATIVE_TEST_SOURCES)
  add_executable(native_tests ${SP_NATIVE_TEST_SOURCES})
  target_link_libraries(native_tests PRIVATE sp_core sp_writers sp_test_support gtest_main)
  target_compile_options(native_tests PRIVATE ${SP_WARNINGS})
  # The corpus replay finds the fuzz corpora from any working folder (the
  # compiler launcher may make __FILE__ relative); only that file carries the
  # path, so the other tests stay cached across clones.
  set_source_files_properties(${CMAKE_SOURCE_DIR}/tests/native/fuzz_corpus_replay_test.cpp
    PROPERTIES COMPILE_DEFINITIONS "SP_SOURCE_DIR=\"${CMAKE_SOURCE_DIR}\"")
  gtest_discover_tests(native_tests DISCOVERY_MODE PRE_TEST PROPERTIES TIMEOUT 120)
endif()

include(${CMAKE_SOURCE_DIR}/builder/tool.cmake)
if(EXISTS ${CMAKE_SOURCE_DIR}/tests/stress/stress.cmake)
  include(${CMAKE_SOURCE_DIR}/tests/stress/stress.cmake)
endif()
if(EXISTS ${CMAKE_SOURCE_DIR}/fuzz/fuzz.cmake)
  include(${CMAKE_SOURCE_DIR}/fuzz/fuzz.cmake)
endif()
if(EXISTS ${CMAKE_SOURCE_DIR}/bench/bench.cmake)
  include(${CMAKE_SOURCE_DIR}/bench/bench.cmake)
endif()
