# An application built with the Microsoft C++ ABI against the DLL
# (tests/consumer/msvc_abi_app.cpp): clang for <arch>-pc-windows-msvc, no C
# runtime, linked by lld-link against the DLL's import library and the
# system's kernel32 and ws2_32 import libraries. The same program is also
# built with mingw-w64 (the GNU layout), and each of the two from the frozen
# 1.0 headers (tests/consumer/headers-1.0) as well as from the current ones,
# which it then uses to call the entries added since. Built beside the DLL;
# where the tests are built each is also a test, run like the others.
find_program(QVNET_CLANGXX NAMES clang++ clang++-14)
find_program(QVNET_LLD_LINK NAMES lld-link lld-link-14)
if(NOT QVNET_CLANGXX OR NOT QVNET_LLD_LINK)
  message(FATAL_ERROR "QVNET_BUILD_MSVC_ABI_APP needs clang++ and lld-link (Debian: clang, lld)")
endif()

if(CMAKE_SIZEOF_VOID_P EQUAL 8)
  set(msvc_target x86_64-pc-windows-msvc)
  set(gnu_entry Start)
else()
  set(msvc_target i686-pc-windows-msvc)
  set(gnu_entry _Start)
endif()
foreach(lib kernel32 ws2_32)
  execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=lib${lib}.a
                  OUTPUT_VARIABLE qvnet_${lib}_import OUTPUT_STRIP_TRAILING_WHITESPACE)
endforeach()

set(abi_source ${PROJECT_SOURCE_DIR}/tests/consumer/msvc_abi_app.cpp)
set(abi_flags -std=c++17 -O1 -fno-exceptions -fno-rtti -fno-builtin -Wall -Wextra -Werror)
set(abi_apps "")

# qvnet_abi_app(NAME LAYOUT msvc|gnu HEADERS dir [CALLS_ADDED])
function(qvnet_abi_app)
  cmake_parse_arguments(A "CALLS_ADDED" "NAME;LAYOUT;HEADERS" "" ${ARGN})
  set(program ${CMAKE_BINARY_DIR}/bin/${A_NAME}.exe)
  set(defines "")
  if(A_CALLS_ADDED)
    set(defines -DQVNET_ABI_APP_CALLS_ADDED)
  endif()
  file(GLOB headers ${A_HEADERS}/*.h)
  if(A_LAYOUT STREQUAL "msvc")
    set(object ${CMAKE_CURRENT_BINARY_DIR}/${A_NAME}.obj)
    add_custom_command(
      OUTPUT ${program}
      COMMAND ${QVNET_CLANGXX} --target=${msvc_target} ${abi_flags} ${defines} -I${A_HEADERS} -c ${abi_source}
              -o ${object}
      COMMAND ${QVNET_LLD_LINK} /nologo /entry:Start /subsystem:console /nodefaultlib /safeseh:no /out:${program}
              ${object} $<TARGET_LINKER_FILE:QvWinNetModule> ${qvnet_kernel32_import} ${qvnet_ws2_32_import}
      DEPENDS ${abi_source} ${headers} QvWinNetModule
      COMMENT "Building ${A_NAME}.exe with the Microsoft C++ ABI (${msvc_target}, ${A_HEADERS})"
      VERBATIM)
  else()
    add_custom_command(
      OUTPUT ${program}
      COMMAND ${CMAKE_CXX_COMPILER} ${abi_flags} ${defines} -I${A_HEADERS} ${abi_source} -o ${program}
              -nostdlib -Wl,--entry=${gnu_entry} -Wl,--subsystem,console
              $<TARGET_LINKER_FILE:QvWinNetModule> -lkernel32 -lws2_32 -lgcc
      DEPENDS ${abi_source} ${headers} QvWinNetModule
      COMMENT "Building ${A_NAME}.exe with mingw-w64 (${A_HEADERS})"
      VERBATIM)
  endif()
  set(abi_apps ${abi_apps} ${program} PARENT_SCOPE)
  if(QVNET_BUILD_TESTS)
    set(run ${CMAKE_BINARY_DIR}/tests/run/${A_NAME})
    file(MAKE_DIRECTORY ${run})
    add_test(NAME ${A_NAME} COMMAND ${CMAKE_CROSSCOMPILING_EMULATOR} ${program} WORKING_DIRECTORY ${run})
    set_tests_properties(${A_NAME} PROPERTIES PASS_REGULAR_EXPRESSION "all checks passed" TIMEOUT 120)
  endif()
endfunction()

set(current_headers ${PROJECT_SOURCE_DIR}/include)
set(frozen_headers ${PROJECT_SOURCE_DIR}/tests/consumer/headers-1.0)
qvnet_abi_app(NAME msvc_abi_app LAYOUT msvc HEADERS ${current_headers} CALLS_ADDED)
qvnet_abi_app(NAME msvc_abi_app_1_0 LAYOUT msvc HEADERS ${frozen_headers})
qvnet_abi_app(NAME gnu_abi_app LAYOUT gnu HEADERS ${current_headers} CALLS_ADDED)
qvnet_abi_app(NAME gnu_abi_app_1_0 LAYOUT gnu HEADERS ${frozen_headers})
add_custom_target(msvc_abi_app ALL DEPENDS ${abi_apps})

# QVNET_SHIPPED_MSVC_ABI_APP: the same application as the Release build
# (make windows) links it, beside the DLL that is shipped; the suite runs it
# too, so that the DLL itself, not only the suite's Debug build of it, is
# used through the Microsoft ABI.
set(QVNET_SHIPPED_MSVC_ABI_APP "" CACHE FILEPATH
    "msvc_abi_app.exe of a Release build, run by the tests beside the suite's own")
if(QVNET_BUILD_TESTS AND QVNET_SHIPPED_MSVC_ABI_APP)
  set(run ${CMAKE_BINARY_DIR}/tests/run/MsvcAbiApplicationUsesTheShippedDll)
  file(MAKE_DIRECTORY ${run})
  add_test(NAME MsvcAbiApplicationUsesTheShippedDll COMMAND ${CMAKE_CROSSCOMPILING_EMULATOR} ${QVNET_SHIPPED_MSVC_ABI_APP}
           WORKING_DIRECTORY ${run})
  set_tests_properties(MsvcAbiApplicationUsesTheShippedDll PROPERTIES PASS_REGULAR_EXPRESSION "all checks passed"
                       TIMEOUT 120)
endif()
