# Cross build for 64-bit Windows with Debian's mingw-w64 (g++-mingw-w64-x86-64-posix: the -posix
# variant has std::thread and std::mutex). The executables are linked statically, so they need
# only the system's DLLs.
#   cmake -S . -B build-win32 -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake \
#         -DCW_BUILD_TESTS=OFF -DCW_BUILD_BENCH=OFF
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(CW_MINGW_PREFIX x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${CW_MINGW_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${CW_MINGW_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER ${CW_MINGW_PREFIX}-windres)
set(CW_MINGW_WINDMC ${CW_MINGW_PREFIX}-windmc)

set(CMAKE_FIND_ROOT_PATH /usr/${CW_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
