# An application built with the Microsoft C++ ABI against the DLL
# (tests/consumer/msvc_abi_app.cpp): clang for <arch>-pc-windows-msvc, no C
# runtime, linked by lld-link against the DLL's import library and the
# system's kernel32 and ws2_32 import libraries. Built beside the DLL; where
# the tests are built it is also a test, run like the others.
find_program(QVNET_CLANGXX NAMES clang++ clang++-14)
find_program(QVNET_LLD_LINK NAMES lld-link lld-link-14)
if(NOT QVNET_CLANGXX OR NOT QVNET_LLD_LINK)
  message(FATAL_ERROR "QVNET_BUILD_MSVC_ABI_APP needs clang++ and lld-link (Debian: clang, lld)")
endif()

if(CMAKE_SIZEOF_VOID_P EQUAL 8)
  set(msvc_target x86_64-pc-windows-msvc)
else()
  set(msvc_target i686-pc-windows-msvc)
endif()
foreach(lib kernel32 ws2_32)
  execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=lib${lib}.a
                  OUTPUT_VARIABLE qvnet_${lib}_import OUTPUT_STRIP_TRAILING_WHITESPACE)
endforeach()

set(msvc_source ${PROJECT_SOURCE_DIR}/tests/consumer/msvc_abi_app.cpp)
set(msvc_object ${CMAKE_CURRENT_BINARY_DIR}/msvc_abi_app.obj)
set(msvc_program ${CMAKE_BINARY_DIR}/bin/msvc_abi_app.exe)
file(GLOB msvc_headers ${PROJECT_SOURCE_DIR}/include/*.h)
add_custom_command(
  OUTPUT ${msvc_program}
  COMMAND ${QVNET_CLANGXX} --target=${msvc_target} -std=c++17 -O1 -fno-exceptions -fno-rtti -fno-builtin
          -Wall -Wextra -Werror -I${PROJECT_SOURCE_DIR}/include -c ${msvc_source} -o ${msvc_object}
  COMMAND ${QVNET_LLD_LINK} /nologo /entry:Start /subsystem:console /nodefaultlib /safeseh:no /out:${msvc_program}
          ${msvc_object} $<TARGET_LINKER_FILE:QvWinNetModule> ${qvnet_kernel32_import} ${qvnet_ws2_32_import}
  DEPENDS ${msvc_source} ${msvc_headers} QvWinNetModule
  COMMENT "Building msvc_abi_app.exe with the Microsoft C++ ABI (${msvc_target})"
  VERBATIM)
add_custom_target(msvc_abi_app ALL DEPENDS ${msvc_program})

# QVNET_SHIPPED_MSVC_ABI_APP: the same application as the Release build
# (make windows) links it, beside the DLL that is shipped; the suite runs it
# too, so that the DLL itself, not only the suite's Debug build of it, is
# used through the Microsoft ABI.
set(QVNET_SHIPPED_MSVC_ABI_APP "" CACHE FILEPATH
    "msvc_abi_app.exe of a Release build, run by the tests beside the suite's own")
if(QVNET_BUILD_TESTS)
  set(msvc_tests MsvcAbiApplicationDeletesAndIsDeleted ${msvc_program})
  if(QVNET_SHIPPED_MSVC_ABI_APP)
    list(APPEND msvc_tests MsvcAbiApplicationUsesTheShippedDll ${QVNET_SHIPPED_MSVC_ABI_APP})
  endif()
  while(msvc_tests)
    list(POP_FRONT msvc_tests name program)
    set(msvc_run ${CMAKE_BINARY_DIR}/tests/run/${name})
    file(MAKE_DIRECTORY ${msvc_run})
    add_test(NAME ${name} COMMAND ${CMAKE_CROSSCOMPILING_EMULATOR} ${program} WORKING_DIRECTORY ${msvc_run})
    set_tests_properties(${name} PROPERTIES PASS_REGULAR_EXPRESSION "all checks passed" TIMEOUT 120)
  endwhile()
endif()
