# The patch author's tool, for Linux (native build) and for 64-bit Windows (the
# MinGW x86-64 build): library of the builder's parts plus one executable whose
# commands live in builder/cli. Platform files carry a suffix: *_win32.cpp build
# only for Windows, *_posix.cpp only for Linux; every other source is shared.
file(GLOB SP_BUILDER_SOURCES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/builder/*.cpp)
if(WIN32)
  list(FILTER SP_BUILDER_SOURCES EXCLUDE REGEX "_posix\\.cpp$")
else()
  list(FILTER SP_BUILDER_SOURCES EXCLUDE REGEX "_win32\\.cpp$")
endif()
if(SP_BUILDER_SOURCES)
  add_library(sp_builder STATIC ${SP_BUILDER_SOURCES})
  target_include_directories(sp_builder PUBLIC ${CMAKE_SOURCE_DIR})
  find_package(Threads REQUIRED)
  target_link_libraries(sp_builder PUBLIC sp_writers sp_core Threads::Threads)
  target_compile_options(sp_builder PRIVATE ${SP_WARNINGS})
  set(SP_BUILDER_LIB sp_builder)
endif()

# The project files of `selfpatch make` and `selfpatch build` (toml++), the
# command line (CLI11) and JSON (nlohmann): Debian's headers. The Windows build
# reaches them through a folder of links to just these three, never the host's
# whole include folder, and uses toml++ header-only.
if(WIN32)
  set(SP_HOST_HEADERS ${CMAKE_BINARY_DIR}/host-headers)
  foreach(library toml++ CLI nlohmann)
    if(NOT EXISTS /usr/include/${library})
      message(FATAL_ERROR "/usr/include/${library} missing: run scripts/setup.sh")
    endif()
    file(MAKE_DIRECTORY ${SP_HOST_HEADERS})
    file(CREATE_LINK /usr/include/${library} ${SP_HOST_HEADERS}/${library} SYMBOLIC)
  endforeach()
  target_include_directories(sp_builder SYSTEM PUBLIC ${SP_HOST_HEADERS})
  target_compile_definitions(sp_builder PUBLIC TOML_HEADER_ONLY=1)
else()
  find_package(PkgConfig REQUIRED)
  pkg_check_modules(TOMLPLUSPLUS REQUIRED IMPORTED_TARGET tomlplusplus)
  target_link_libraries(sp_builder PUBLIC PkgConfig::TOMLPLUSPLUS)
endif()

# Stronger deflate for the payload entries (for Windows, built from Debian's
# source package by scripts/mingw-zopfli.sh).
find_library(SP_ZOPFLI_LIBRARY zopfli REQUIRED)
find_path(SP_ZOPFLI_INCLUDE zopfli/zopfli.h REQUIRED)
target_include_directories(sp_builder PUBLIC ${SP_ZOPFLI_INCLUDE})
target_link_libraries(sp_builder PUBLIC ${SP_ZOPFLI_LIBRARY})

# The installer program that the tool carries. It is copied into the build
# tree at every build (only when it changed), or an empty file is left there
# when it has not been built: the tool then needs --stub.
set(SP_STUB ${CMAKE_SOURCE_DIR}/build/win/bin/selfpatch-sfx.exe CACHE FILEPATH
  "Installer program embedded in the selfpatch tool (built by the Windows build)")
set(SP_STUB_COPY ${CMAKE_BINARY_DIR}/stub/selfpatch-sfx.exe)
file(WRITE ${CMAKE_BINARY_DIR}/stub/copy-stub.cmake [=[
if(EXISTS "${STUB}")
  file(COPY_FILE "${STUB}" "${COPY}" ONLY_IF_DIFFERENT)
else()
  if(NOT EXISTS "${COPY}")
    file(WRITE "${COPY}" "")
  else()
    file(SIZE "${COPY}" size)
    if(NOT size EQUAL 0)
      file(WRITE "${COPY}" "")
    endif()
  endif()
  message(STATUS "selfpatch: no installer program at ${STUB}: the tool will need --stub")
endif()
]=])
add_custom_target(sp_stub_copy
  COMMAND ${CMAKE_COMMAND} -DSTUB=${SP_STUB} -DCOPY=${SP_STUB_COPY}
          -P ${CMAKE_BINARY_DIR}/stub/copy-stub.cmake
  BYPRODUCTS ${SP_STUB_COPY}
  VERBATIM)
add_dependencies(sp_builder sp_stub_copy)
set_source_files_properties(${CMAKE_SOURCE_DIR}/builder/pack_stub.cpp PROPERTIES
  OBJECT_DEPENDS ${SP_STUB_COPY}
  COMPILE_DEFINITIONS "SP_STUB_FILE=\"${SP_STUB_COPY}\"")

if(TARGET native_tests)
  target_link_libraries(native_tests PRIVATE sp_builder)
endif()

file(GLOB SP_CLI_SOURCES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/builder/cli/*.cpp)
add_executable(selfpatch ${SP_CLI_SOURCES})
target_link_libraries(selfpatch PRIVATE ${SP_BUILDER_LIB} sp_writers sp_core)
target_compile_options(selfpatch PRIVATE ${SP_WARNINGS})
if(WIN32)
  target_link_options(selfpatch PRIVATE -static -s)  # one file that needs only the system's DLLs
endif()

# Unit tests of the builder's parts.
if(TARGET native_tests AND SP_BUILDER_LIB)
  target_link_libraries(native_tests PRIVATE ${SP_BUILDER_LIB})
endif()