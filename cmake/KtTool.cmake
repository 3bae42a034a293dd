# kt_add_tool(<name> INSTALL|SIMULATOR
#     SOURCES <src>...
#     [LINK <dep>...])
#
# Builds the program <name>. INSTALL makes it a tool of the product: installed to bin/
# in the run-time package with the product run path. SIMULATOR makes it a program of
# the simulated instrument, built for the PC only and never installed.
include_guard(GLOBAL)

function(kt_add_tool name)
  cmake_parse_arguments(ARG "INSTALL;SIMULATOR" "" "SOURCES;LINK" ${ARGN})
  if(ARG_INSTALL AND ARG_SIMULATOR OR NOT (ARG_INSTALL OR ARG_SIMULATOR))
    message(FATAL_ERROR "kt_add_tool(${name}): give exactly one of INSTALL and SIMULATOR")
  endif()
  if(ARG_UNPARSED_ARGUMENTS)
    message(FATAL_ERROR "kt_add_tool(${name}): unknown arguments ${ARG_UNPARSED_ARGUMENTS}")
  endif()
  add_executable(${name} ${ARG_SOURCES})
  if(ARG_LINK)
    target_link_libraries(${name} PRIVATE ${ARG_LINK})
  endif()
  if(ARG_INSTALL)
    set_target_properties(${name} PROPERTIES INSTALL_RPATH "${KT_INSTALL_LIBDIR}")
    install(TARGETS ${name} RUNTIME DESTINATION bin COMPONENT runtime)
    # The check of the installed tree expects exactly these programs in bin/.
    set_property(GLOBAL APPEND PROPERTY KT_TOOLS ${name})
  endif()
endfunction()
