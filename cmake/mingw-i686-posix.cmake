# i686 Windows with the POSIX thread model of mingw-w64, for building the
# 32-bit test suite (see mingw-x86_64-posix.cmake).
include(${CMAKE_CURRENT_LIST_DIR}/mingw-i686.cmake)
set(CMAKE_C_COMPILER i686-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER i686-w64-mingw32-g++-posix)
