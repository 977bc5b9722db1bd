# Compares the defined dynamic symbols of a shared library with a list of
# expected names. Arguments: -DNM=<nm> -DLIBRARY=<file> -DEXPECTED=<list file>
execute_process(
  COMMAND ${NM} -D --defined-only ${LIBRARY}
  OUTPUT_VARIABLE listing
  RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "${NM} failed on ${LIBRARY}: ${status}")
endif()

string(REPLACE "\n" ";" lines "${listing}")
set(actual "")
foreach(line IN LISTS lines)
  # "<address> <type> <name>"; keep the name
  if(line MATCHES "^[0-9a-fA-F]* *[A-Za-z] +([^ ]+)$")
    list(APPEND actual "${CMAKE_MATCH_1}")
  endif()
endforeach()
list(SORT actual)

file(STRINGS ${EXPECTED} expected)
list(SORT expected)

if(NOT actual STREQUAL expected)
  message(FATAL_ERROR "exported symbols differ\n  expected: ${expected}\n  actual:   ${actual}")
endif()
list(LENGTH actual count)
message(STATUS "${count} exported symbols, as expected")
