# `docs` target: the HTML API reference of the public headers, built by Doxygen into
# <build>/docs/html (index.html). Any Doxygen warning fails the build.
find_package(Doxygen QUIET)
if(DOXYGEN_FOUND)
  set(KT_DOC_INPUT "")
  foreach(h IN LISTS headers)
    string(APPEND KT_DOC_INPUT " \"${h}\"")
  endforeach()
  set(KT_DOC_MAINPAGE "${PROJECT_SOURCE_DIR}/docs/mainpage.md")
  set(KT_DOC_FILTER "awk -f ${PROJECT_SOURCE_DIR}/docs/doc_comments.awk")
  set(KT_DOC_OUTPUT "${PROJECT_BINARY_DIR}/docs")
  configure_file("${PROJECT_SOURCE_DIR}/docs/Doxyfile.in" "${KT_DOC_OUTPUT}/Doxyfile" @ONLY)
  add_custom_target(docs
    COMMAND "${DOXYGEN_EXECUTABLE}" "${KT_DOC_OUTPUT}/Doxyfile"
    WORKING_DIRECTORY "${KT_DOC_OUTPUT}"
    COMMENT "API reference in ${KT_DOC_OUTPUT}/html/index.html"
    VERBATIM)
else()
  add_custom_target(docs
    COMMAND "${CMAKE_COMMAND}" -E echo "docs: doxygen not found (scripts/deps installs it)"
    COMMAND "${CMAKE_COMMAND}" -E false)
endif()
