# Fails when the README's echo server no longer matches the example file
# that the build compiles.
file(READ "${README}" readme)
file(READ "${SNIPPET}" snippet)
string(FIND "${readme}" "```cpp\n${snippet}```" at)
if(at EQUAL -1)
  message(FATAL_ERROR "README.md does not hold ${SNIPPET} verbatim")
endif()
