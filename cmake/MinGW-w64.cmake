# Cross build for 64-bit Windows with MinGW-w64 (the POSIX thread model, whose
# C++ runtime has std::thread and std::mutex):
#   cmake -S . -B build-windows -DCMAKE_TOOLCHAIN_FILE=cmake/MinGW-w64.cmake
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(TARVOS_MINGW_TRIPLE x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${TARVOS_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${TARVOS_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${TARVOS_MINGW_TRIPLE}-windres)

# Headers and libraries come from the Windows sysroot only; programs that run
# during the build come from the host.
set(CMAKE_FIND_ROOT_PATH /usr/${TARVOS_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
