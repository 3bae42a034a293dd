cmake_minimum_required(VERSION 3.25)
# Checks a staged install of the product against its deliverables.
#   ROOT          the staged product folder (<DESTDIR>/opt/tarvik/app)
#   PREFIX        the product prefix on the device
#   MANIFEST      lines "name|file|exports file|needed,..." of the libraries built
#   HEADERS       public header names expected in include/
#   TOOLS         program names expected in bin/
#   SOURCE_DIR, BUILD_DIR   trees no installed file may point into
#   WORK          scratch folder for the header compilations
#   READELF, CHECK_EXPORTS, CC, CXX
set(errors "")
macro(fail text)
  string(APPEND errors "  ${text}\n")
endmacro()

# The product's libraries and their installed file names; a plug-in has no version.
set(deliverables
  daq libktdaq.so.1.0.0
  cmd libktcmd.so.1.0.0
  axis libktaxis.so.1.0.0
  fpga libktfpga.so.1.0.0
  uart libktuart.so.1.0.1
  filters libktfilters.so
  i2c libkti2c.so.1.0.0
  util libktutil.so.1.0.0)

function(dynamic_section file out)
  execute_process(COMMAND "${READELF}" --dynamic --wide "${file}" OUTPUT_VARIABLE dyn
    RESULT_VARIABLE rc)
  if(NOT rc EQUAL 0)
    set(dyn "")
  endif()
  set(${out} "${dyn}" PARENT_SCOPE)
endfunction()

function(dynamic_entries dyn tag out)
  string(REGEX MATCHALL "\\(${tag}\\)[^\n]*\\[[^]\n]*\\]" lines "${dyn}")
  set(values "")
  foreach(line IN LISTS lines)
    string(REGEX REPLACE ".*\\[([^]]*)\\]" "\\1" v "${line}")
    list(APPEND values "${v}")
  endforeach()
  set(${out} "${values}" PARENT_SCOPE)
endfunction()

# Files and folders that may be in lib/ besides the libraries.
set(lib_allowed cmake pkgconfig)

# Libraries.
file(STRINGS "${MANIFEST}" entries)
set(built "")
foreach(entry IN LISTS entries)
  string(REPLACE "|" ";" fields "${entry}")
  list(GET fields 0 name)
  list(GET fields 1 file)
  list(GET fields 2 exports)
  list(GET fields 3 needed)
  string(REPLACE "," ";" needed "${needed}")
  list(APPEND built ${name})
  list(FIND deliverables ${name} at)
  if(at EQUAL -1)
    fail("library ${name} (${file}) is not one of the product's libraries")
    continue()
  endif()
  math(EXPR at "${at} + 1")
  list(GET deliverables ${at} want)
  if(NOT file STREQUAL want)
    fail("${name}: built as ${file}, expected ${want}")
  endif()
  set(path "${ROOT}/lib/${want}")
  if(NOT EXISTS "${path}" OR IS_SYMLINK "${path}")
    fail("${name}: lib/${want} missing or not a regular file")
    continue()
  endif()
  list(APPEND lib_allowed ${want})
  dynamic_section("${path}" dyn)
  dynamic_entries("${dyn}" SONAME soname)
  dynamic_entries("${dyn}" RUNPATH runpath)
  dynamic_entries("${dyn}" NEEDED linked)
  if(want MATCHES "^(lib.*\\.so)\\.([0-9]+)\\.[0-9]+\\.[0-9]+$")
    set(namelink "${CMAKE_MATCH_1}")
    set(want_soname "${CMAKE_MATCH_1}.${CMAKE_MATCH_2}")
    # Version links: lib<x>.so -> lib<x>.so.N -> lib<x>.so.N.M.P
    foreach(link IN ITEMS "${want_soname}>${want}" "${namelink}>${want_soname}")
      string(REPLACE ">" ";" link "${link}")
      list(GET link 0 from)
      list(GET link 1 to)
      set(points "")
      if(IS_SYMLINK "${ROOT}/lib/${from}")
        file(READ_SYMLINK "${ROOT}/lib/${from}" points)
      endif()
      if(NOT points STREQUAL to)
        fail("${name}: lib/${from} is not a link to ${to}")
      endif()
    endforeach()
    list(APPEND lib_allowed ${want_soname} ${namelink})
  else()
    # The plug-in is opened by its plain name; the file carries it as its SONAME.
    set(want_soname "${want}")
  endif()
  if(NOT soname STREQUAL want_soname)
    fail("${name}: SONAME is '${soname}', expected ${want_soname}")
  endif()
  if(NOT runpath STREQUAL "${PREFIX}/lib")
    fail("${name}: run path is '${runpath}', expected ${PREFIX}/lib")
  endif()
  if(name STREQUAL "daq" AND linked MATCHES "libktfilters")
    fail("daq: links against the filter plug-in, which it must only open at run time")
  endif()
  execute_process(COMMAND "${CMAKE_COMMAND}" "-DLIB=${path}" "-DEXPECTED=${exports}"
      "-DREADELF=${READELF}" "-DNEEDED=${needed}" "-DRUNPATH=${PREFIX}/lib"
      -P "${CHECK_EXPORTS}"
    RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE out)
  if(NOT rc EQUAL 0)
    string(STRIP "${out}" out)
    fail("${name}: ${out}")
  endif()
endforeach()
list(LENGTH deliverables n)
math(EXPR last "${n} - 1")
foreach(i RANGE 0 ${last} 2)
  list(GET deliverables ${i} name)
  if(NOT name IN_LIST built)
    message(STATUS "library ${name}: not part of this build")
  endif()
endforeach()

file(GLOB present RELATIVE "${ROOT}/lib" "${ROOT}/lib/*")
foreach(f IN LISTS present)
  if(NOT f IN_LIST lib_allowed)
    fail("lib/${f}: not part of the product")
  endif()
endforeach()

# Sets `out` to the names in ROOT/`dir`, which must be exactly those of the list `want`.
function(expect_listing dir want out)
  file(GLOB present RELATIVE "${ROOT}/${dir}" "${ROOT}/${dir}/*")
  list(SORT present)
  set(sorted ${want})
  list(SORT sorted)
  if(NOT present STREQUAL sorted)
    fail("${dir}/ holds [${present}], expected [${sorted}]")
  endif()
  set(${out} "${present}" PARENT_SCOPE)
  set(errors "${errors}" PARENT_SCOPE)
endfunction()

# Headers: exactly the public ones, each usable on its own from C and C++.
expect_listing(include "${HEADERS}" present)
set(work "${WORK}")
file(MAKE_DIRECTORY "${work}")
foreach(h IN LISTS present)
  file(WRITE "${work}/use.c" "#include <${h}>\n#include <${h}>\nint main(void) { return 0; }\n")
  file(WRITE "${work}/use.cpp" "#include <${h}>\nint main() { return 0; }\n")
  execute_process(COMMAND "${CC}" -std=c11 -Wall -Wextra -Werror -fsyntax-only
      "-I${ROOT}/include" "${work}/use.c"
    RESULT_VARIABLE rc_c ERROR_VARIABLE err_c)
  execute_process(COMMAND "${CXX}" -std=c++20 -Wall -Wextra -Werror -fsyntax-only
      "-I${ROOT}/include" "${work}/use.cpp"
    RESULT_VARIABLE rc_cxx ERROR_VARIABLE err_cxx)
  if(NOT rc_c EQUAL 0)
    fail("include/${h} does not compile alone in C:\n${err_c}")
  endif()
  if(NOT rc_cxx EQUAL 0)
    fail("include/${h} does not compile alone in C++:\n${err_cxx}")
  endif()
endforeach()
file(REMOVE_RECURSE "${work}")

# Tools: exactly the product's programs, each finding the libraries at the product path.
expect_listing(bin "${TOOLS}" present)
foreach(t IN LISTS present)
  dynamic_section("${ROOT}/bin/${t}" dyn)
  dynamic_entries("${dyn}" RUNPATH runpath)
  dynamic_entries("${dyn}" NEEDED linked)
  if(linked MATCHES "libkt" AND NOT runpath STREQUAL "${PREFIX}/lib")
    fail("bin/${t}: run path is '${runpath}', expected ${PREFIX}/lib")
  endif()
endforeach()

# CMake package and pkg-config files: complete, and free of build machine paths.
foreach(f kt-config.cmake kt-config-version.cmake kt-targets.cmake)
  if(NOT EXISTS "${ROOT}/lib/cmake/kt/${f}")
    fail("lib/cmake/kt/${f} missing")
  endif()
endforeach()
foreach(name IN LISTS built)
  if(NOT EXISTS "${ROOT}/lib/pkgconfig/kt${name}.pc")
    fail("lib/pkgconfig/kt${name}.pc missing")
  endif()
endforeach()
file(GLOB_RECURSE package_files "${ROOT}/lib/cmake/*" "${ROOT}/lib/pkgconfig/*")
foreach(f IN LISTS package_files)
  file(READ "${f}" text)
  foreach(tree "${SOURCE_DIR}" "${BUILD_DIR}")
    string(FIND "${text}" "${tree}" at)
    if(NOT at EQUAL -1)
      fail("${f} refers to ${tree}")
    endif()
  endforeach()
endforeach()

# Nothing beside the four folders; share/ holds kt-web's page only.
file(GLOB present RELATIVE "${ROOT}" "${ROOT}/*")
list(SORT present)
if(NOT present STREQUAL "bin;include;lib;share")
  fail("${PREFIX} holds [${present}], expected [bin;include;lib;share]")
endif()
file(GLOB shared RELATIVE "${ROOT}/share" "${ROOT}/share/*")
if(NOT shared STREQUAL "kt-web")
  fail("${PREFIX}/share holds [${shared}], expected [kt-web]")
endif()

if(errors)
  message(FATAL_ERROR "installed tree ${ROOT}:\n${errors}")
endif()
message(STATUS "installed tree ${ROOT}: libraries [${built}], tools [${TOOLS}] as expected")
