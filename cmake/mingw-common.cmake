# What both mingw-w64 toolchain files share; they set CMAKE_SYSTEM_PROCESSOR
# and KESTRUN_MINGW_TRIPLET first.
set(CMAKE_SYSTEM_NAME Windows)

# The posix-threads compilers: GoogleTest needs std::mutex, which the
# win32-threads runtime lacks. Everything links -static, so no program or DLL
# needs libwinpthread-1.dll beside it.
set(CMAKE_C_COMPILER ${KESTRUN_MINGW_TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${KESTRUN_MINGW_TRIPLET}-g++-posix)
set(CMAKE_RC_COMPILER ${KESTRUN_MINGW_TRIPLET}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${KESTRUN_MINGW_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Programs and the DLL carry their C and C++ runtimes (and winpthread) inside
# and import only system DLLs.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
