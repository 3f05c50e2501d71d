# x86_64 Windows with the POSIX thread model of mingw-w64, for building the
# test suite (GoogleTest and the tests use std::thread and std::mutex).
include(${CMAKE_CURRENT_LIST_DIR}/mingw-x86_64.cmake)
set(CMAKE_C_COMPILER x86_64-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER x86_64-w64-mingw32-g++-posix)
