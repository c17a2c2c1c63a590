# Fuzz targets (libFuzzer, clang, ASan and UBSan) in a build of their own:
#   cmake -S . -B build/fuzz -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_C_COMPILER=clang -DSP_FUZZ=ON
# Each fuzz/*_fuzz.cpp is one target; its corpus lives in fuzz/corpus/<target>/.
# The seed corpus maker builds in every native build.
add_executable(make_fuzz_corpus ${CMAKE_SOURCE_DIR}/fuzz/make_corpus.cpp)
target_link_libraries(make_fuzz_corpus PRIVATE sp_builder sp_writers sp_test_support sp_core)
target_compile_options(make_fuzz_corpus PRIVATE ${SP_WARNINGS})

if(SP_FUZZ)
  set(SP_FUZZ_FLAGS -fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=all
      -fno-omit-frame-pointer -g -O1)
  target_compile_options(sp_core PRIVATE ${SP_FUZZ_FLAGS})
  target_compile_options(sp_writers PRIVATE ${SP_FUZZ_FLAGS})
  target_compile_options(sp_builder PRIVATE ${SP_FUZZ_FLAGS})
  target_link_options(make_fuzz_corpus PRIVATE -fsanitize=fuzzer-no-link,address,undefined)
  file(GLOB SP_FUZZ_SOURCES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/fuzz/*_fuzz.cpp)
  foreach(source ${SP_FUZZ_SOURCES})
    get_filename_component(name ${source} NAME_WE)
    add_executable(${name} ${source})
    target_link_libraries(${name} PRIVATE sp_builder sp_writers sp_core)
    target_compile_options(${name} PRIVATE ${SP_FUZZ_FLAGS})
    target_link_options(${name} PRIVATE -fsanitize=fuzzer,address,undefined)
  endforeach()
endif()
