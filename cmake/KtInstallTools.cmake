# What the installed tools need besides their programs in ${KT_PREFIX}/bin (installed by
# kt_add_tool ... INSTALL): a link in /usr/bin, so they are on the PATH, and a manual page
# made from their --help and --version by help2man, both in the run-time component.
# Expects `tools` (the installed tools) from _kt_install_finish.
include_guard(GLOBAL)

# The NAME line of each tool's manual page.
set(KT_TOOL_SUMMARY_kt-daqd
  "acquisition engine of the instrument: publishes frames or routes them through filters")
set(KT_TOOL_SUMMARY_kt-sub "subscriber of the publish mode: counts, checks and saves frames")
set(KT_TOOL_SUMMARY_kt-cmdd "example command server of the instrument's command protocol")
set(KT_TOOL_SUMMARY_kt-channel "configures a channel of the acquisition engine's filter mode")
set(KT_TOOL_SUMMARY_kt-tap "client of a filter-mode channel: shows the frames it sends")
set(KT_TOOL_SUMMARY_kt-relay
  "carries the acquisition engine's endpoints to another interface, optionally with keys")
set(KT_TOOL_SUMMARY_kt-web "live view of the instrument's frames in the browser")
set(KT_TOOL_SUMMARY_kt-io "bench bring-up tool for FPGA registers, serial ports and I2C")

find_program(KT_HELP2MAN help2man)
find_program(KT_GZIP gzip)
if(NOT KT_HELP2MAN OR NOT KT_GZIP)
  message(WARNING "help2man or gzip not found: the tools get no manual pages "
    "(scripts/deps installs them)")
endif()

# Dates the pages by the packages' changelog, so a rebuild makes the same pages.
set(KT_CHANGELOG "${PROJECT_SOURCE_DIR}/packaging/changelog")
set_property(DIRECTORY "${PROJECT_SOURCE_DIR}" APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS
  "${KT_CHANGELOG}")
file(STRINGS "${KT_CHANGELOG}" kt_changelog_date REGEX "^ -- .*  ")
list(GET kt_changelog_date 0 kt_changelog_date)
string(REGEX REPLACE "^ -- .*  " "" kt_changelog_date "${kt_changelog_date}")
execute_process(COMMAND date -d "${kt_changelog_date}" +%s
  OUTPUT_VARIABLE KT_SOURCE_DATE_EPOCH OUTPUT_STRIP_TRAILING_WHITESPACE
  RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "packaging/changelog: no date in '${kt_changelog_date}'")
endif()

set(links "${PROJECT_BINARY_DIR}/usr-bin")
set(mandir "${PROJECT_BINARY_DIR}/man")
file(REMOVE_RECURSE "${links}")
file(MAKE_DIRECTORY "${links}")
set(pages "")
foreach(tool IN LISTS tools)
  # /opt and /usr are separate top-level folders: the link is absolute.
  file(CREATE_LINK "${KT_PREFIX}/bin/${tool}" "${links}/${tool}" SYMBOLIC)
  install(FILES "${links}/${tool}" DESTINATION /usr/bin COMPONENT runtime)

  if(NOT KT_HELP2MAN OR NOT KT_GZIP)
    continue()
  endif()
  set(summary "${KT_TOOL_SUMMARY_${tool}}")
  if(NOT summary)
    message(WARNING "${tool}: no KT_TOOL_SUMMARY_${tool} in cmake/KtInstallTools.cmake")
    set(summary "${tool} of the instrument software")
  endif()
  # help2man names the page after the program it runs; in a cross build a script of the
  # tool's name runs the built program under the emulator, as the tests do. The page
  # describes the very program that is packaged.
  set(runner "${mandir}/run/${tool}")
  list(JOIN CMAKE_CROSSCOMPILING_EMULATOR " " emulator)
  file(GENERATE OUTPUT "${runner}"
    CONTENT "#!/bin/sh\nexec ${emulator} \"$<TARGET_FILE:${tool}>\" \"$@\"\n"
    FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE
      WORLD_READ WORLD_EXECUTE)
  set(page "${mandir}/${tool}.1")
  add_custom_command(OUTPUT "${page}.gz"
    COMMAND "${CMAKE_COMMAND}" -E env "SOURCE_DATE_EPOCH=${KT_SOURCE_DATE_EPOCH}"
      "${KT_HELP2MAN}" --no-info --section=1 "--name=${summary}"
      "--output=${page}" "${runner}"
    COMMAND "${KT_GZIP}" -9nf "${page}"
    DEPENDS ${tool} "${runner}" "${KT_CHANGELOG}"
    COMMENT "Manual page of ${tool}"
    VERBATIM)
  list(APPEND pages "${page}.gz")
  install(FILES "${page}.gz" DESTINATION /usr/share/man/man1 COMPONENT runtime)
endforeach()

# kt-plot, the Python client's tool, goes into python3-ktclient; help2man runs the script
# from the source tree, where it finds the package beside it.
if(KT_HELP2MAN AND KT_GZIP)
  set(page "${mandir}/kt-plot.1")
  set(script "${PROJECT_SOURCE_DIR}/python/kt-plot")
  add_custom_command(OUTPUT "${page}.gz"
    COMMAND "${CMAKE_COMMAND}" -E env "SOURCE_DATE_EPOCH=${KT_SOURCE_DATE_EPOCH}"
      PYTHONDONTWRITEBYTECODE=1 "${KT_HELP2MAN}" --no-info --section=1
      "--name=quick-look plots of the instrument's recorded or live frames"
      "--output=${page}" "${script}"
    COMMAND "${KT_GZIP}" -9nf "${page}"
    DEPENDS "${script}" "${PROJECT_SOURCE_DIR}/python/ktclient/version.py" "${KT_CHANGELOG}"
    COMMENT "Manual page of kt-plot"
    VERBATIM)
  list(APPEND pages "${page}.gz")
  install(FILES "${page}.gz" DESTINATION /usr/share/man/man1 COMPONENT python)
endif()
if(pages)
  add_custom_target(man-pages ALL DEPENDS ${pages})
endif()
