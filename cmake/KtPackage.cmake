# Debian packages of the installed product, three per architecture of the build:
#   kt-runtime       libraries, filter plug-in and tools, the tools' links in /usr/bin and
#                    their manual pages; depends on kt-util, the utility library
#   kt-dev           headers, link names, CMake package, pkg-config files, HTML reference
#   kt-util-standin  the stand-in utility library with its development files; provides
#                    kt-util and kt-util-dev. On the instrument the product's own utility
#                    package provides them instead, and nothing here overwrites it.
# A cross build for the device gives armhf packages, a host build amd64 ones. Every
# package carries /usr/share/doc/<package>/copyright and changelog.Debian.gz from
# packaging/; packaging/<package>.files lists what each must hold.
include_guard(GLOBAL)

# Debian architecture of the binaries this build makes.
function(kt_debian_arch out)
  set(arch "")
  if(CMAKE_LIBRARY_ARCHITECTURE MATCHES "^arm-linux-gnueabihf")
    set(arch armhf)
  elseif(CMAKE_LIBRARY_ARCHITECTURE MATCHES "^x86_64-linux-gnu")
    set(arch amd64)
  elseif(CMAKE_LIBRARY_ARCHITECTURE MATCHES "^aarch64-linux-gnu")
    set(arch arm64)
  elseif(CMAKE_LIBRARY_ARCHITECTURE MATCHES "^i386-linux-gnu")
    set(arch i386)
  elseif(NOT CMAKE_CROSSCOMPILING)
    execute_process(COMMAND dpkg --print-architecture OUTPUT_VARIABLE arch
      OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
  endif()
  if(NOT arch)
    message(FATAL_ERROR "No Debian architecture known for ${CMAKE_LIBRARY_ARCHITECTURE}")
  endif()
  set(${out} ${arch} PARENT_SCOPE)
endfunction()

kt_debian_arch(KT_DEB_ARCH)

# The package version is the product version and the packaging revision, which the
# newest entry of packaging/changelog gives ("1.0.0-1").
set(KT_DEB_CHANGELOG "${PROJECT_SOURCE_DIR}/packaging/changelog")
set_property(DIRECTORY "${PROJECT_SOURCE_DIR}" APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS
  "${KT_DEB_CHANGELOG}" "${PROJECT_SOURCE_DIR}/packaging/kt-runtime.files")
file(STRINGS "${KT_DEB_CHANGELOG}" kt_deb_top LIMIT_COUNT 1)
if(NOT kt_deb_top MATCHES "^kt \\(([^)-]+)-([^)]+)\\) ")
  message(FATAL_ERROR "packaging/changelog: first line '${kt_deb_top}' is not "
    "'kt (<version>-<revision>) ...'")
endif()
if(NOT CMAKE_MATCH_1 STREQUAL PROJECT_VERSION)
  message(FATAL_ERROR "packaging/changelog: newest entry is for ${CMAKE_MATCH_1}, "
    "the project is ${PROJECT_VERSION}; add an entry")
endif()
set(KT_DEB_REVISION "${CMAKE_MATCH_2}")
set(KT_DEB_VERSION "${PROJECT_VERSION}-${KT_DEB_REVISION}")

# Package names by component.
set(KT_DEB_PACKAGES runtime kt-runtime development kt-dev util_standin kt-util-standin
  python python3-ktclient)

# Copyright and the compressed changelog (gzip -9n: no name, no time stamp) in every
# package's documentation folder.
find_program(KT_DEB_GZIP gzip REQUIRED)
set(kt_deb_docs "${PROJECT_BINARY_DIR}/packaging")
file(MAKE_DIRECTORY "${kt_deb_docs}")
execute_process(COMMAND "${KT_DEB_GZIP}" -9nc "${KT_DEB_CHANGELOG}"
  OUTPUT_FILE "${kt_deb_docs}/changelog.Debian.gz" RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "gzip of packaging/changelog failed")
endif()
set(kt_deb_components "")
set(pairs ${KT_DEB_PACKAGES})
while(pairs)
  list(POP_FRONT pairs component package)
  list(APPEND kt_deb_components ${component})
  install(FILES "${PROJECT_SOURCE_DIR}/packaging/copyright"
      "${kt_deb_docs}/changelog.Debian.gz"
    DESTINATION "/usr/share/doc/${package}" COMPONENT ${component})
  # Each override in it says why the tag does not apply to a product in /opt.
  install(FILES "${PROJECT_SOURCE_DIR}/packaging/${package}.lintian-overrides"
    DESTINATION /usr/share/lintian/overrides RENAME ${package} COMPONENT ${component})
endwhile()

# The HTML API reference goes into kt-dev; the build makes it whenever Doxygen is there
# (KtDocs.cmake has configured its Doxyfile).
if(DOXYGEN_FOUND)
  set(kt_deb_html "${KT_DOC_OUTPUT}/html")
  add_custom_command(OUTPUT "${kt_deb_html}/index.html"
    COMMAND "${DOXYGEN_EXECUTABLE}" "${KT_DOC_OUTPUT}/Doxyfile"
    WORKING_DIRECTORY "${KT_DOC_OUTPUT}"
    DEPENDS ${headers} "${KT_DOC_OUTPUT}/Doxyfile" "${KT_DOC_MAINPAGE}"
      "${PROJECT_SOURCE_DIR}/docs/doc_comments.awk"
    COMMENT "API reference for the kt-dev package"
    VERBATIM)
  add_custom_target(docs-html ALL DEPENDS "${kt_deb_html}/index.html")
  install(DIRECTORY "${kt_deb_html}" DESTINATION /usr/share/doc/kt-dev
    COMPONENT development)
else()
  message(WARNING "doxygen not found: kt-dev gets no API reference (scripts/deps installs it)")
endif()

# Files under /etc of a package are its configuration files (dpkg keeps local changes).
function(_kt_deb_conffiles component package)
  file(STRINGS "${PROJECT_SOURCE_DIR}/packaging/${package}.files" paths REGEX "^/etc/")
  if(paths)
    list(JOIN paths "\n" text)
    file(WRITE "${kt_deb_docs}/${package}/conffiles" "${text}\n")
    string(TOUPPER "${component}" upper)
    set(CPACK_DEBIAN_${upper}_PACKAGE_CONTROL_EXTRA "${kt_deb_docs}/${package}/conffiles"
      PARENT_SCOPE)
  endif()
endfunction()

# Run-time dependencies: what the libraries and tools link against besides themselves.
# The lower bounds are the versions of Debian 12, which the product is built on.
set(KT_DEB_RUNTIME_DEPENDS
  "libc6 (>= 2.36), libcivetweb1 (>= 1.15+dfsg), libgcc-s1 (>= 12), libstdc++6 (>= 12), \
libsystemd0 (>= 252), libzmq5 (>= 4.3.4), zlib1g (>= 1:1.2.13)"
  CACHE STRING "Depends field of the run-time package (besides kt-util)")
# The stand-in links the C and C++ libraries and zlib.
set(KT_DEB_STANDIN_DEPENDS "libc6 (>= 2.36), libgcc-s1 (>= 12), libstdc++6 (>= 12), zlib1g (>= 1:1.2.13)"
  CACHE STRING "Depends field of the utility stand-in package")

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME kt)
set(CPACK_PACKAGE_VENDOR "Tarvik")
set(CPACK_PACKAGE_VERSION "${PROJECT_VERSION}")
set(CPACK_PACKAGE_CONTACT "Instrument software team <software@tarvik.invalid>")
set(CPACK_PACKAGING_INSTALL_PREFIX "${KT_PREFIX}")
# Files outside the prefix (/usr/bin, /usr/share) land in the package, not on this machine.
set(CPACK_SET_DESTDIR ON)
set(CPACK_PACKAGE_DIRECTORY "${PROJECT_BINARY_DIR}/packages")
set(CPACK_STRIP_FILES ON)

# The control files' summary line is the project's description; the component
# descriptions below are the bodies.
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL ${kt_deb_components})
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_RELEASE "${KT_DEB_REVISION}")
set(CPACK_DEBIAN_PACKAGE_SOURCE kt)
set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE "${KT_DEB_ARCH}")
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)

set(CPACK_DEBIAN_RUNTIME_PACKAGE_NAME kt-runtime)
set(CPACK_DEBIAN_RUNTIME_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_RUNTIME_PACKAGE_DEPENDS "${KT_DEB_RUNTIME_DEPENDS}, kt-util")
string(CONCAT CPACK_COMPONENT_RUNTIME_DESCRIPTION
  "Run-time files: the acquisition engine, command protocol, stream ring reader,\n"
  "register, serial and I2C access libraries, the frame filter plug-in and the\n"
  "tools, in ${KT_PREFIX}, with links to the tools in /usr/bin.\n"
  "The utility library comes from a package that provides kt-util.")
_kt_deb_conffiles(runtime kt-runtime)

set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_NAME kt-dev)
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_DEPENDS "kt-runtime (= ${KT_DEB_VERSION}), kt-util-dev")
string(CONCAT CPACK_COMPONENT_DEVELOPMENT_DESCRIPTION
  "Development files: headers, link names, the CMake package kt and pkg-config\n"
  "files for building applications against the instrument software libraries,\n"
  "and their HTML API reference.")

# The stand-in excludes any other provider of the utility library: installing it beside
# the product's own one is refused instead of overwriting that.
set(CPACK_DEBIAN_UTIL_STANDIN_PACKAGE_NAME kt-util-standin)
set(CPACK_DEBIAN_UTIL_STANDIN_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_UTIL_STANDIN_PACKAGE_DEPENDS "${KT_DEB_STANDIN_DEPENDS}")
set(CPACK_DEBIAN_UTIL_STANDIN_PACKAGE_PROVIDES "kt-util, kt-util-dev")
set(CPACK_DEBIAN_UTIL_STANDIN_PACKAGE_CONFLICTS "kt-util, kt-util-dev")
string(CONCAT CPACK_COMPONENT_UTIL_STANDIN_DESCRIPTION
  "Stand-in for the instrument's utility library libktutil (sleeping, time stamps,\n"
  "CRC-32, byte order) with its header, pkg-config file and CMake targets, for\n"
  "building and testing the instrument software away from the instrument.\n"
  "Do not install it on the instrument: its own utility package provides kt-util.")

# The Python client is the same for every architecture.
set(CPACK_DEBIAN_PYTHON_PACKAGE_NAME python3-ktclient)
set(CPACK_DEBIAN_PYTHON_PACKAGE_ARCHITECTURE all)
set(CPACK_DEBIAN_PYTHON_PACKAGE_SECTION python)
set(CPACK_DEBIAN_PYTHON_PACKAGE_DEPENDS "python3 (>= 3.11), python3-numpy, python3-zmq")
set(CPACK_DEBIAN_PYTHON_PACKAGE_RECOMMENDS "python3-matplotlib")
string(CONCAT CPACK_COMPONENT_PYTHON_DESCRIPTION
  "Python client of the instrument's frame streams: subscribes to the publish\n"
  "mode, configures and taps filter-mode channels, reads and writes recordings,\n"
  "and kt-plot draws quick-look plots of them.")
# CPack puts the product's prefix into every package; the client has nothing there.
set(CPACK_PRE_BUILD_SCRIPTS "${PROJECT_SOURCE_DIR}/cmake/KtPackageTrim.cmake")

include(CPack)
