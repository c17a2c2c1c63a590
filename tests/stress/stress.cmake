# The mutation campaign: mutants of real patches and installer payloads checked
# against the installer's readers. The library also serves the native test that
# runs a small slice of it; the tool runs the whole campaign (make stress) and
# writes mutants for the runs under Wine.
add_library(sp_mutants STATIC ${CMAKE_SOURCE_DIR}/tests/stress/mutants.cpp)
target_link_libraries(sp_mutants PUBLIC sp_builder sp_writers sp_core)
target_compile_options(sp_mutants PRIVATE ${SP_WARNINGS})

add_executable(mutation_stress ${CMAKE_SOURCE_DIR}/tests/stress/mutation_stress.cpp)
target_link_libraries(mutation_stress PRIVATE sp_mutants)
target_compile_options(mutation_stress PRIVATE ${SP_WARNINGS})

if(TARGET native_tests)
  target_link_libraries(native_tests PRIVATE sp_mutants)
endif()
