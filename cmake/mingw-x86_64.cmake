# The 64-bit test twin of the installer and of the Windows-side tests: the same
# sources, for machines whose kernel refuses 32-bit code (Wine's 64-bit loader
# still runs there).
set(SP_MINGW_PROCESSOR x86_64)
include(${CMAKE_CURRENT_LIST_DIR}/mingw.cmake)
