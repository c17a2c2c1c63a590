# The installer and the Windows-side tests: 32-bit, as shipped.
set(SP_MINGW_PROCESSOR i686)
include(${CMAKE_CURRENT_LIST_DIR}/mingw.cmake)
