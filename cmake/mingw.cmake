# Cross-compiling with MinGW-w64 for SP_MINGW_PROCESSOR (set by the toolchain
# file that includes this one), posix threads (GoogleTest needs std::mutex),
# static, run under Wine by CTest.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR ${SP_MINGW_PROCESSOR})
set(CMAKE_C_COMPILER ${SP_MINGW_PROCESSOR}-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER ${SP_MINGW_PROCESSOR}-w64-mingw32-g++-posix)
set(CMAKE_RC_COMPILER ${SP_MINGW_PROCESSOR}-w64-mingw32-windres)
# /usr/local/...: libraries that scripts/setup.sh builds for MinGW (zopfli).
set(CMAKE_FIND_ROOT_PATH /usr/${SP_MINGW_PROCESSOR}-w64-mingw32 /usr/local/${SP_MINGW_PROCESSOR}-w64-mingw32)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_CROSSCOMPILING_EMULATOR wine)
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
