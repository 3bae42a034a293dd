# Checks of the installed product, run by CTest. One staged install (DESTDIR) is shared by
# the checks of the tree and the consumer builds; the package check runs CPack itself.
set(stage "${PROJECT_BINARY_DIR}/install-stage")
set(sanitized FALSE)
if("${CMAKE_C_FLAGS} ${CMAKE_CXX_FLAGS}" MATCHES "-fsanitize=")
  set(sanitized TRUE)
endif()

add_test(NAME install.stage
  COMMAND "${CMAKE_COMMAND}" "-DBUILD=${PROJECT_BINARY_DIR}" "-DSTAGE=${stage}"
    "-DPREFIX=${KT_PREFIX}" -P "${PROJECT_SOURCE_DIR}/cmake/StageInstall.cmake")
set_tests_properties(install.stage PROPERTIES FIXTURES_SETUP kt_stage)

add_test(NAME install.tree
  COMMAND "${CMAKE_COMMAND}" "-DROOT=${stage}${KT_PREFIX}" "-DPREFIX=${KT_PREFIX}"
    "-DMANIFEST=${KT_INSTALL_MANIFEST}" "-DHEADERS=${header_names}" "-DTOOLS=${tools}"
    "-DREADELF=${CMAKE_READELF}" "-DCHECK_EXPORTS=${PROJECT_SOURCE_DIR}/cmake/CheckExports.cmake"
    "-DCC=${CMAKE_C_COMPILER}" "-DCXX=${CMAKE_CXX_COMPILER}"
    "-DSOURCE_DIR=${PROJECT_SOURCE_DIR}" "-DBUILD_DIR=${PROJECT_BINARY_DIR}"
    "-DWORK=${PROJECT_BINARY_DIR}/install-tree-check"
    -P "${PROJECT_SOURCE_DIR}/cmake/CheckInstallTree.cmake")
set_tests_properties(install.tree PROPERTIES FIXTURES_REQUIRED kt_stage)

# The consumer is built like an application team builds it: same compilers and flags,
# the cross toolchain file for the device, run under the emulator there.
set(consumer_args
  "-DSOURCE=${PROJECT_SOURCE_DIR}/examples/consumer" "-DSTAGE=${stage}" "-DPREFIX=${KT_PREFIX}"
  "-DMANIFEST=${KT_INSTALL_MANIFEST}" "-DTOOLCHAIN=${CMAKE_TOOLCHAIN_FILE}"
  "-DEMULATOR=${CMAKE_CROSSCOMPILING_EMULATOR}" "-DCC=${CMAKE_C_COMPILER}"
  "-DCFLAGS=${CMAKE_C_FLAGS}" "-DLDFLAGS=${CMAKE_EXE_LINKER_FLAGS}")
add_test(NAME consumer.cmake
  COMMAND "${CMAKE_COMMAND}" ${consumer_args} "-DBINARY=${PROJECT_BINARY_DIR}/consumer-cmake"
    -DMODE=cmake -P "${PROJECT_SOURCE_DIR}/cmake/CheckConsumer.cmake")
add_test(NAME consumer.pkgconfig
  COMMAND "${CMAKE_COMMAND}" ${consumer_args} "-DBINARY=${PROJECT_BINARY_DIR}/consumer-pc"
    -DMODE=pkgconfig -P "${PROJECT_SOURCE_DIR}/cmake/CheckConsumer.cmake")
set_tests_properties(consumer.cmake consumer.pkgconfig PROPERTIES
  FIXTURES_REQUIRED kt_stage TIMEOUT 300)

find_program(KT_LINTIAN lintian)
add_test(NAME package.deb
  COMMAND "${CMAKE_COMMAND}" "-DBUILD=${PROJECT_BINARY_DIR}"
    "-DOUT=${PROJECT_BINARY_DIR}/package-test" "-DARCH=${KT_DEB_ARCH}"
    "-DCPACK=${CMAKE_CPACK_COMMAND}" "-DDEB_VERSION=${KT_DEB_VERSION}"
    "-DLISTS=${PROJECT_SOURCE_DIR}/packaging" "-DTOOLS=${tools}" "-DLINTIAN=${KT_LINTIAN}"
    "-DVERSION=${PROJECT_VERSION}" "-DPREFIX=${KT_PREFIX}" "-DMANIFEST=${KT_INSTALL_MANIFEST}"
    "-DMULTIARCH=${CMAKE_LIBRARY_ARCHITECTURE}" "-DREADELF=${CMAKE_READELF}"
    "-DCHECK_DEPENDS=$<NOT:$<BOOL:${sanitized}>>"
    -P "${PROJECT_SOURCE_DIR}/cmake/CheckPackages.cmake")
set_tests_properties(package.deb PROPERTIES TIMEOUT 300)

if(DOXYGEN_FOUND AND NOT CMAKE_CROSSCOMPILING)
  add_test(NAME docs.build
    COMMAND "${CMAKE_COMMAND}" --build "${PROJECT_BINARY_DIR}" --target docs)
endif()
