# Cross-build for 32-bit Windows with Debian's mingw-w64. The posix-threads
# variant of the compilers: GoogleTest needs std::mutex, which the win32-threads
# variant lacks. Everything is linked statically, so no DLL comes along.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR i686)

set(QUNPACK_MINGW_TRIPLE i686-w64-mingw32)
set(CMAKE_C_COMPILER ${QUNPACK_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${QUNPACK_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${QUNPACK_MINGW_TRIPLE}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${QUNPACK_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# No -msse2: Windows 7 still runs on processors without SSE2. Code that
# wants SSE2 asks for it per function and is chosen at run time.
# No runtime DLLs beside the stub or the test programs.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
