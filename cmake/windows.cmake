# Windows side: the installer program, its Win32 unit tests and the Win32
# helper programs of the end-to-end tests.
set(CMAKE_RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/bin)

# The installer is small and self-contained: no exceptions, no RTTI, static.
set(SP_INSTALLER_FLAGS -Os -fno-exceptions -fno-rtti -fno-asynchronous-unwind-tables
  -fno-threadsafe-statics)
target_compile_options(sp_core PRIVATE ${SP_INSTALLER_FLAGS})

add_library(sp_win32 STATIC ${SP_WIN32_SOURCES})
target_include_directories(sp_win32 PUBLIC ${CMAKE_SOURCE_DIR})
target_compile_options(sp_win32 PRIVATE ${SP_WARNINGS} ${SP_INSTALLER_FLAGS})
target_compile_definitions(sp_win32 PUBLIC WIN32_LEAN_AND_MEAN NOMINMAX _WIN32_WINNT=0x0501)
target_link_libraries(sp_win32 PUBLIC sp_core z shell32 advapi32 user32 gdi32 ole32)

# A file alignment of 1024 puts the first section at file offset 1024 and keeps
# offsets 960-1023 of the header free for preset switches; sizes stay multiples of 4.
# The resource section comes last (cmake/rsrc-last.ld), so the packer can
# rewrite it in place.
# The manifest names the build's processor: x86, or amd64 in the 64-bit test
# twin (bitness: a 64-bit program declared as x86 is refused by Windows).
if(CMAKE_SIZEOF_VOID_P EQUAL 8)
  set(SP_MANIFEST_ARCH amd64)
else()
  set(SP_MANIFEST_ARCH x86)
endif()
configure_file(${CMAKE_SOURCE_DIR}/resources/selfpatch.manifest.in
  ${CMAKE_BINARY_DIR}/resources/selfpatch.manifest @ONLY)
function(sp_installer_program name)
  add_executable(${name} WIN32 ${SP_ENTRY_SOURCE} resources/selfpatch.rc)
  target_include_directories(${name} PRIVATE ${CMAKE_BINARY_DIR}/resources)
  target_compile_options(${name} PRIVATE ${SP_WARNINGS} ${SP_INSTALLER_FLAGS})
  target_link_libraries(${name} PRIVATE ${ARGN})
  target_link_options(${name} PRIVATE -static -s -Wl,--file-alignment=1024
    -Wl,--dynamicbase -Wl,--nxcompat -Wl,-T,${CMAKE_SOURCE_DIR}/cmake/rsrc-last.ld)
  set_target_properties(${name} PROPERTIES LINK_DEPENDS ${CMAKE_SOURCE_DIR}/cmake/rsrc-last.ld)
  # Large-address-aware: a 64-bit system gives the 32-bit program 4 GiB instead
  # of 2, room for a larger patch beside its image (sizes and offsets are
  # unsigned 32-bit, never pointers cast to int). The limits the tool enforces
  # stay those of 2 GiB, which is all a 32-bit system gives.
  if(CMAKE_SIZEOF_VOID_P EQUAL 4)
    target_link_options(${name} PRIVATE -Wl,--large-address-aware)
  endif()
endfunction()
sp_installer_program(selfpatch-sfx sp_win32)

# The same installer built with kill points (driver/kill_point.h), for the tests
# of interrupted updates only. Its Win32 objects are linked whole, so nothing
# is taken from sp_win32, which sp_core names for its seams.
add_library(sp_win32_killpoints OBJECT ${SP_WIN32_SOURCES})
target_include_directories(sp_win32_killpoints PUBLIC ${CMAKE_SOURCE_DIR})
target_compile_options(sp_win32_killpoints PRIVATE ${SP_WARNINGS} ${SP_INSTALLER_FLAGS})
target_compile_definitions(sp_win32_killpoints PUBLIC SP_KILLPOINTS WIN32_LEAN_AND_MEAN NOMINMAX
  _WIN32_WINNT=0x0501)
sp_installer_program(selfpatch-sfx-killpoints sp_win32_killpoints sp_core z shell32 advapi32
  user32 gdi32 ole32)

# Win32 unit tests, run under Wine by CTest.
# Tests and their shared fixtures: every source file of tests/win.
file(GLOB SP_WIN_TEST_SOURCES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/tests/win/*.cpp)
if(SP_WIN_TEST_SOURCES)
  add_executable(win_tests ${SP_WIN_TEST_SOURCES})
  target_link_libraries(win_tests PRIVATE sp_win32 sp_writers sp_test_support gtest_main)
  target_link_options(win_tests PRIVATE -static)
  gtest_discover_tests(win_tests DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 60
    PROPERTIES TIMEOUT 60)
endif()

# Helper programs of the end-to-end tests: one program per source file.
file(GLOB SP_E2E_TOOL_SOURCES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/tests/e2e/tools/*.cpp)
foreach(source ${SP_E2E_TOOL_SOURCES})
  get_filename_component(tool ${source} NAME_WE)
  add_executable(${tool} ${source})
  target_compile_options(${tool} PRIVATE ${SP_WARNINGS})
  target_compile_definitions(${tool} PRIVATE WIN32_LEAN_AND_MEAN NOMINMAX _WIN32_WINNT=0x0501)
  target_link_libraries(${tool} PRIVATE user32 gdi32 advapi32 shell32)
  target_link_options(${tool} PRIVATE -static)
endforeach()

# Hook libraries of those helpers (loaded into a watched program): one DLL per source.
file(GLOB SP_E2E_HOOK_SOURCES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/tests/e2e/tools/hooks/*.cpp)
foreach(source ${SP_E2E_HOOK_SOURCES})
  get_filename_component(hook ${source} NAME_WE)
  add_library(${hook} SHARED ${source})
  set_target_properties(${hook} PROPERTIES PREFIX "")
  target_include_directories(${hook} PRIVATE ${CMAKE_SOURCE_DIR})
  target_compile_options(${hook} PRIVATE ${SP_WARNINGS})
  target_compile_definitions(${hook} PRIVATE WIN32_LEAN_AND_MEAN NOMINMAX _WIN32_WINNT=0x0501)
  target_link_libraries(${hook} PRIVATE user32)
  target_link_options(${hook} PRIVATE -static -Wl,--kill-at)
endforeach()

# The patch author's tool for Windows (selfpatch.exe): in the 64-bit build only.
if(CMAKE_SIZEOF_VOID_P EQUAL 8)
  include(${CMAKE_SOURCE_DIR}/builder/tool.cmake)
endif()
