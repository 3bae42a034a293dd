cmake_minimum_required(VERSION 3.25)
# Compares a built shared library with what it must export and link against.
#   LIB       the library file
#   EXPECTED  file with the exported names, one per line
#   NEEDED    ';'-separated DT_NEEDED entries the library must carry, exactly
#   RUNPATH   a directory that must appear in the installed run path
#   READELF   readelf program
execute_process(COMMAND "${READELF}" --dyn-syms --wide "${LIB}"
  OUTPUT_VARIABLE syms RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "readelf failed on ${LIB}")
endif()
string(REPLACE "\n" ";" lines "${syms}")
set(actual "")
foreach(line IN LISTS lines)
  # Num: Value Size Type Bind Vis Ndx Name
  if(line MATCHES "^ *[0-9]+: +[0-9a-f]+ +[0-9]+ +(FUNC|OBJECT|TLS|IFUNC) +(GLOBAL|WEAK|UNIQUE) +[A-Z]+ +([0-9]+|ABS) +([^ @]+)")
    list(APPEND actual "${CMAKE_MATCH_4}")
  endif()
endforeach()
file(STRINGS "${EXPECTED}" expected REGEX "^[A-Za-z_]")
list(SORT actual)
list(REMOVE_DUPLICATES actual)
list(SORT expected)
set(missing ${expected})
list(REMOVE_ITEM missing ${actual})
set(extra ${actual})
list(REMOVE_ITEM extra ${expected})
if(missing OR extra)
  message(FATAL_ERROR "${LIB}: exported names differ\n  missing: ${missing}\n  unexpected: ${extra}")
endif()

execute_process(COMMAND "${READELF}" --dynamic --wide "${LIB}" OUTPUT_VARIABLE dyn)
string(REGEX MATCHALL "\\(NEEDED\\)[^\n]*\\[([^]]+)\\]" needed_lines "${dyn}")
set(needed "")
foreach(line IN LISTS needed_lines)
  string(REGEX REPLACE ".*\\[([^]]+)\\]" "\\1" name "${line}")
  # Sanitizer builds add their run-time libraries, and on ARM the compiler adds its
  # unwinder library to C++ code; neither is a dependency of the product's own choosing.
  if(name MATCHES "^lib(a|ub|t)san\\.")
    set(sanitized TRUE)
  elseif(NOT name MATCHES "^libgcc_s\\.")
    list(APPEND needed "${name}")
  endif()
endforeach()
list(SORT needed)
set(want ${NEEDED})
# A sanitizer run-time provides the C library functions it intercepts, so a sanitized
# library that calls nothing else of the C library no longer names it.
if(sanitized AND NOT "libc.so.6" IN_LIST needed)
  list(REMOVE_ITEM want "libc.so.6")
endif()
list(SORT want)
if(NOT needed STREQUAL want)
  message(FATAL_ERROR "${LIB}: linked libraries are [${needed}], expected [${want}]")
endif()
execute_process(COMMAND "${READELF}" --dynamic --wide "${LIB}" OUTPUT_VARIABLE dyn)
if(NOT dyn MATCHES "\\(RUNPATH\\)[^\n]*[[:]${RUNPATH}[]:]")
  message(FATAL_ERROR "${LIB}: run path does not contain ${RUNPATH}")
endif()
message(STATUS "${LIB}: exports, linked libraries and run path as expected")
