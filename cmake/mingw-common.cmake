# mingw-w64 cross build for Windows; the including file sets QVNET_MINGW_ARCH
# (x86_64 or i686).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR ${QVNET_MINGW_ARCH})
set(CMAKE_C_COMPILER ${QVNET_MINGW_ARCH}-w64-mingw32-gcc)
set(CMAKE_CXX_COMPILER ${QVNET_MINGW_ARCH}-w64-mingw32-g++)
set(CMAKE_RC_COMPILER ${QVNET_MINGW_ARCH}-w64-mingw32-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${QVNET_MINGW_ARCH}-w64-mingw32)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
# Windows 7 and later: WSAPoll and the rest of Windows Sockets 2.2.
set(CMAKE_C_FLAGS_INIT "-D_WIN32_WINNT=0x0601")
set(CMAKE_CXX_FLAGS_INIT "-D_WIN32_WINNT=0x0601")
# Programs carry the MinGW runtime inside: nothing to ship beside them.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
