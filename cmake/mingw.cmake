# Cross-compiling for Windows with MinGW-w64 (posix thread model, for std::thread and friends).
# TAVO_ARCH is i686 (the product) or x86_64 (the build the tests run under Wine).
set(CMAKE_SYSTEM_NAME Windows)
set(TAVO_ARCH "i686" CACHE STRING "Windows target: i686 or x86_64")
set(CMAKE_SYSTEM_PROCESSOR ${TAVO_ARCH})
set(TAVO_TRIPLE ${TAVO_ARCH}-w64-mingw32)

set(CMAKE_C_COMPILER ${TAVO_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${TAVO_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${TAVO_TRIPLE}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${TAVO_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
