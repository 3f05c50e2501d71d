# What `cmake --install` puts under the prefix, and nothing else:
#
#   lib/libQvWinNetModule.so.1.0.0 (+ .so.1, .so)   bin/QvWinNetModule.dll on Windows
#   include/qvnet/*.h                               the public headers
#   lib/cmake/QvWinNetModule/                       the CMake package
#   lib/pkgconfig/qvwinnetmodule.pc                 the pkg-config file
#   bin/qvcat                                       the command-line peer (tools/qvcat/,
#                                                   when tools are built)
#
# Consumers write `#include <qvnet/qvnet.h>`: the CMake target and the .pc
# file both put <prefix>/include on the include path. The static library the
# tests link, the tests and the examples are not installed.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(QVNET_PUBLIC_HEADERS
  include/qvaccepthandler.h
  include/qvconnectionsink.h
  include/qvdestructor.h
  include/qvlistenerapi.h
  include/qvnet.h
  include/qvnetclient.h
  include/qvnetmodule.h
  include/qvpacketcodec.h
  include/qvsocket.h
)
set(QVNET_INSTALL_HEADERDIR ${CMAKE_INSTALL_INCLUDEDIR}/qvnet)
set(QVNET_INSTALL_CMAKEDIR ${CMAKE_INSTALL_LIBDIR}/cmake/QvWinNetModule)
set(QVNET_INSTALL_PKGCONFIGDIR ${CMAKE_INSTALL_LIBDIR}/pkgconfig)

if(NOT WIN32)
  # libQvWinNetModule.so.1 -> libQvWinNetModule.so.1.0.0; the major number
  # changes only when the binary interface does.
  set_target_properties(QvWinNetModule PROPERTIES
    VERSION ${PROJECT_VERSION}
    SOVERSION ${PROJECT_VERSION_MAJOR})
endif()

target_include_directories(QvWinNetModule INTERFACE
  $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}>)

install(TARGETS QvWinNetModule EXPORT QvWinNetModuleTargets
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR})
install(FILES ${QVNET_PUBLIC_HEADERS} DESTINATION ${QVNET_INSTALL_HEADERDIR})

install(EXPORT QvWinNetModuleTargets
  NAMESPACE QvWinNetModule::
  DESTINATION ${QVNET_INSTALL_CMAKEDIR})
configure_package_config_file(
  ${CMAKE_CURRENT_LIST_DIR}/QvWinNetModuleConfig.cmake.in
  ${CMAKE_CURRENT_BINARY_DIR}/QvWinNetModuleConfig.cmake
  INSTALL_DESTINATION ${QVNET_INSTALL_CMAKEDIR})
write_basic_package_version_file(
  ${CMAKE_CURRENT_BINARY_DIR}/QvWinNetModuleConfigVersion.cmake
  VERSION ${PROJECT_VERSION}
  COMPATIBILITY SameMajorVersion)
install(FILES
  ${CMAKE_CURRENT_BINARY_DIR}/QvWinNetModuleConfig.cmake
  ${CMAKE_CURRENT_BINARY_DIR}/QvWinNetModuleConfigVersion.cmake
  DESTINATION ${QVNET_INSTALL_CMAKEDIR})

# The .pc file finds the prefix from its own place, so an installed tree
# can be moved, and `cmake --install --prefix DIR` needs no new configure.
file(RELATIVE_PATH QVNET_PC_TO_PREFIX
  ${CMAKE_INSTALL_FULL_LIBDIR}/pkgconfig ${CMAKE_INSTALL_PREFIX})
string(REGEX REPLACE "/$" "" QVNET_PC_TO_PREFIX "${QVNET_PC_TO_PREFIX}")
foreach(dir LIBDIR INCLUDEDIR)
  if(IS_ABSOLUTE "${CMAKE_INSTALL_${dir}}")
    set(QVNET_PC_${dir} "${CMAKE_INSTALL_${dir}}")
  else()
    set(QVNET_PC_${dir} "\${prefix}/${CMAKE_INSTALL_${dir}}")
  endif()
endforeach()
configure_file(${CMAKE_CURRENT_LIST_DIR}/qvwinnetmodule.pc.in
  ${CMAKE_CURRENT_BINARY_DIR}/qvwinnetmodule.pc @ONLY)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/qvwinnetmodule.pc
  DESTINATION ${QVNET_INSTALL_PKGCONFIGDIR})
