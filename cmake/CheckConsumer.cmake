cmake_minimum_required(VERSION 3.25)
# Builds the external consumer project against a staged install and runs its programs.
#   MODE        cmake: through find_package(kt) and the imported targets
#               pkgconfig: with the compiler and the flags pkg-config gives
#   SOURCE      the consumer project; BINARY its build folder (emptied first)
#   STAGE       DESTDIR of the staged install; PREFIX the product prefix below it
#   MANIFEST    the libraries installed ("name|file|...")
#   CC, CFLAGS, LDFLAGS, TOOLCHAIN, EMULATOR   as the product build uses them
set(root "${STAGE}${PREFIX}")
file(REMOVE_RECURSE "${BINARY}")
file(MAKE_DIRECTORY "${BINARY}")

file(STRINGS "${MANIFEST}" entries)
set(names "")
foreach(entry IN LISTS entries)
  string(REPLACE "|" ";" fields "${entry}")
  list(GET fields 0 name)
  list(GET fields 1 file)
  list(APPEND names ${name})
  set(file_of_${name} "${file}")
endforeach()

function(run_checked what)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE out)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "${what} failed (${rc}):\n${out}")
  endif()
  message(STATUS "${what}: ok\n${out}")
endfunction()

separate_arguments(cflags UNIX_COMMAND "${CFLAGS}")
separate_arguments(ldflags UNIX_COMMAND "${LDFLAGS}")
set(programs "")

if(MODE STREQUAL "cmake")
  set(args -S "${SOURCE}" -B "${BINARY}" "-Dkt_DIR=${root}/lib/cmake/kt"
    "-DCMAKE_C_COMPILER=${CC}" "-DCMAKE_C_FLAGS=${CFLAGS}" "-DCMAKE_EXE_LINKER_FLAGS=${LDFLAGS}")
  if(TOOLCHAIN)
    list(APPEND args "-DCMAKE_TOOLCHAIN_FILE=${TOOLCHAIN}")
  endif()
  run_checked("configuring the consumer" "${CMAKE_COMMAND}" ${args})
  # The package refuses what it cannot give: an unknown component, another major version.
  foreach(request "COMPONENTS nosuch" "2.0")
    set(probe "${BINARY}/probe")
    file(REMOVE_RECURSE "${probe}")
    file(WRITE "${probe}/CMakeLists.txt" "cmake_minimum_required(VERSION 3.25)\n"
      "project(probe C)\nfind_package(kt ${request} CONFIG REQUIRED)\n")
    execute_process(COMMAND "${CMAKE_COMMAND}" -S "${probe}" -B "${probe}/build"
        "-Dkt_DIR=${root}/lib/cmake/kt" "-DCMAKE_C_COMPILER=${CC}"
      RESULT_VARIABLE rc OUTPUT_QUIET ERROR_QUIET)
    if(rc EQUAL 0)
      message(FATAL_ERROR "find_package(kt ${request}) succeeded")
    endif()
  endforeach()
  run_checked("building the consumer" "${CMAKE_COMMAND}" --build "${BINARY}")
  # A program for every installed library that an application links, and the plug-in.
  foreach(name IN LISTS names)
    if(NOT name STREQUAL "util" AND NOT name STREQUAL "filters")
      list(APPEND programs use-${name})
    endif()
  endforeach()
  list(APPEND programs use-filters)
elseif(MODE STREQUAL "pkgconfig")
  set(ENV{PKG_CONFIG_LIBDIR} "${root}/lib/pkgconfig")
  set(ENV{PKG_CONFIG_PATH} "")
  set(ENV{PKG_CONFIG_SYSROOT_DIR} "${STAGE}")
  foreach(name IN LISTS names)
    # Each file gives the version of its library.
    execute_process(COMMAND pkg-config --modversion kt${name} OUTPUT_VARIABLE version
      RESULT_VARIABLE rc OUTPUT_STRIP_TRAILING_WHITESPACE)
    if(NOT rc EQUAL 0)
      message(FATAL_ERROR "pkg-config does not know kt${name}")
    endif()
    if(file_of_${name} MATCHES "\\.so\\.([0-9.]+)$" AND NOT version STREQUAL CMAKE_MATCH_1)
      message(FATAL_ERROR "kt${name}.pc has version ${version}, the library ${CMAKE_MATCH_1}")
    endif()
    if(name STREQUAL "util" OR name STREQUAL "filters")
      continue()
    endif()
    execute_process(COMMAND pkg-config --cflags --libs kt${name} OUTPUT_VARIABLE flags
      RESULT_VARIABLE rc OUTPUT_STRIP_TRAILING_WHITESPACE)
    separate_arguments(flags UNIX_COMMAND "${flags}")
    # The libraries' own dependencies are found through their run path on the device;
    # in the staging folder the linker is told where they are.
    run_checked("compiling use-${name} with kt${name}.pc"
      "${CC}" ${cflags} -o "${BINARY}/use-${name}" "${SOURCE}/use_${name}.c" ${flags}
      ${ldflags} "-Wl,-rpath-link,${root}/lib")
    list(APPEND programs use-${name})
  endforeach()
else()
  message(FATAL_ERROR "MODE must be cmake or pkgconfig")
endif()

# Run every program: the staged libraries stand where the run path would find them.
set(ENV{LD_LIBRARY_PATH} "${root}/lib")
foreach(p IN LISTS programs)
  if(NOT EXISTS "${BINARY}/${p}")
    message(FATAL_ERROR "${p} was not built")
  endif()
  run_checked("running ${p}" ${EMULATOR} "${BINARY}/${p}")
endforeach()
message(STATUS "consumer (${MODE}): ${programs} built and ran")
