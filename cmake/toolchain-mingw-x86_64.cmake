# Cross-building the Windows DLL and tests with Debian's mingw-w64 (x86_64).
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(KESTRUN_MINGW_TRIPLET x86_64-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
