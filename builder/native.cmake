# The patch author's tool, built natively: library of the builder's parts plus
# one executable whose commands live in builder/cli.
file(GLOB SP_BUILDER_SOURCES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/builder/*.cpp)
if(SP_BUILDER_SOURCES)
  add_library(sp_builder STATIC ${SP_BUILDER_SOURCES})
  target_include_directories(sp_builder PUBLIC ${CMAKE_SOURCE_DIR})
  find_package(Threads REQUIRED)
  target_link_libraries(sp_builder PUBLIC sp_writers sp_core divsufsort Threads::Threads)
  target_compile_options(sp_builder PRIVATE ${SP_WARNINGS})
  set(SP_BUILDER_LIB sp_builder)
endif()

file(GLOB SP_CLI_SOURCES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/builder/cli/*.cpp)
add_executable(selfpatch ${SP_CLI_SOURCES})
target_link_libraries(selfpatch PRIVATE ${SP_BUILDER_LIB} sp_writers sp_core)
target_compile_options(selfpatch PRIVATE ${SP_WARNINGS})

# Unit tests of the builder's parts.
if(TARGET native_tests AND SP_BUILDER_LIB)
  target_link_libraries(native_tests PRIVATE ${SP_BUILDER_LIB})
endif()
