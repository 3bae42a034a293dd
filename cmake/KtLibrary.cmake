# kt_add_library(<target>
#     OUTPUT <name>            file name without "lib" and ".so"
#     [VERSION <x.y.z>]        full version; the SONAME takes its major number
#     EXPORTS <file>           names the library exports, one per line
#     [NEEDED <lib>...]        exact DT_NEEDED list the library must carry
#     SOURCES <src>...
#     [LINK <dep>...]
#     [EXCEPTIONS] [RTTI])      keep C++ exceptions / run-time type information
#
# Builds a shared library with hidden symbols, a version script that exports exactly
# the listed names, the product run path, and a test that checks both against the
# built file. The library is installed and exported as kt::<name> (see KtInstall.cmake).
# Its public header reaches kt_api.h through the kt_api target.
include("${CMAKE_CURRENT_LIST_DIR}/KtInstall.cmake")

# kt_library_flags(<target> [EXCEPTIONS] [RTTI])
#
# The product libraries offer plain C calls: compiled without exception tables and type
# information they need no C++ run time for them. A library that does use either names
# it. kt_add_library applies this to its own target; an object library whose objects a
# library is made of applies it to itself.
function(kt_library_flags target)
  cmake_parse_arguments(ARG "EXCEPTIONS;RTTI" "" "" ${ARGN})
  if(NOT ARG_EXCEPTIONS)
    target_compile_options(${target} PRIVATE $<$<COMPILE_LANGUAGE:CXX>:-fno-exceptions>)
  endif()
  if(NOT ARG_RTTI)
    target_compile_options(${target} PRIVATE $<$<COMPILE_LANGUAGE:CXX>:-fno-rtti>)
  endif()
endfunction()

function(kt_add_library target)
  cmake_parse_arguments(ARG "EXCEPTIONS;RTTI" "OUTPUT;VERSION;EXPORTS" "NEEDED;SOURCES;LINK"
    ${ARGN})
  add_library(${target} SHARED ${ARG_SOURCES})
  set(flags "")
  if(ARG_EXCEPTIONS)
    list(APPEND flags EXCEPTIONS)
  endif()
  if(ARG_RTTI)
    list(APPEND flags RTTI)
  endif()
  kt_library_flags(${target} ${flags})
  set_target_properties(${target} PROPERTIES
    OUTPUT_NAME ${ARG_OUTPUT}
    C_VISIBILITY_PRESET hidden
    CXX_VISIBILITY_PRESET hidden
    VISIBILITY_INLINES_HIDDEN ON
    INSTALL_RPATH "${KT_INSTALL_LIBDIR}"
    BUILD_RPATH "${CMAKE_BINARY_DIR}/lib;${KT_INSTALL_LIBDIR}")
  if(ARG_VERSION)
    string(REGEX MATCH "^[0-9]+" soversion "${ARG_VERSION}")
    set_target_properties(${target} PROPERTIES VERSION ${ARG_VERSION} SOVERSION ${soversion})
  endif()
  target_include_directories(${target} PUBLIC "$<BUILD_INTERFACE:${CMAKE_CURRENT_SOURCE_DIR}>")
  # Installed, kt_api.h is in the one include folder every library names already.
  target_link_libraries(${target} PUBLIC "$<BUILD_INTERFACE:kt_api>")
  if(ARG_LINK)
    target_link_libraries(${target} PRIVATE ${ARG_LINK})
  endif()

  # Version script from the export list: everything not listed stays local, including
  # template instantiations that the C++ library headers would otherwise make visible.
  set(exports "${CMAKE_CURRENT_SOURCE_DIR}/${ARG_EXPORTS}")
  file(STRINGS "${exports}" names REGEX "^[A-Za-z_]")
  set(map "${CMAKE_CURRENT_BINARY_DIR}/${target}.map")
  list(JOIN names ";\n    " body)
  file(CONFIGURE OUTPUT "${map}" CONTENT "{\n  global:\n    ${body};\n  local: *;\n};\n")
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${exports}")
  target_link_options(${target} PRIVATE
    "LINKER:--version-script=${map}" "LINKER:--no-undefined" "LINKER:--as-needed")
  set_target_properties(${target} PROPERTIES LINK_DEPENDS "${map}")
  kt_install_library(${target} "${ARG_OUTPUT}" "${ARG_VERSION}" "${exports}" "${ARG_NEEDED}")

  if(KT_BUILD_TESTS)
    add_test(NAME ${target}.exports
      COMMAND ${CMAKE_COMMAND}
        "-DLIB=$<TARGET_FILE:${target}>" "-DEXPECTED=${exports}"
        "-DREADELF=${CMAKE_READELF}" "-DNEEDED=${ARG_NEEDED}"
        "-DRUNPATH=${KT_INSTALL_LIBDIR}"
        -P "${PROJECT_SOURCE_DIR}/cmake/CheckExports.cmake")
  endif()
endfunction()

# Adds every folder below the current one that has a CMakeLists.txt; new folders are
# picked up at configure time.
function(kt_add_subdirectories)
  file(GLOB subdirs LIST_DIRECTORIES true "${CMAKE_CURRENT_SOURCE_DIR}/*")
  foreach(dir IN LISTS subdirs)
    if(EXISTS "${dir}/CMakeLists.txt")
      add_subdirectory("${dir}")
    endif()
  endforeach()
endfunction()
