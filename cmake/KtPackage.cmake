# Debian packages of the installed product, one pair per architecture of the build:
#   kt-runtime   libraries, filter plug-in and tools
#   kt-dev       headers, link names, CMake package and pkg-config files
# A cross build for the device gives armhf packages, a host build amd64 ones.

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

# Run-time dependencies: what the libraries and tools link against besides themselves.
# The lower bounds are the versions of Debian 12, which the product is built on.
set(KT_DEB_RUNTIME_DEPENDS
  "libc6 (>= 2.36), libgcc-s1 (>= 12), libstdc++6 (>= 12), libzmq5 (>= 4.3.4), zlib1g (>= 1:1.2.13)"
  CACHE STRING "Depends field of the run-time package")

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME kt)
set(CPACK_PACKAGE_VENDOR "Tarvik")
set(CPACK_PACKAGE_VERSION "${PROJECT_VERSION}")
set(CPACK_PACKAGE_CONTACT "Instrument software team <software@tarvik.invalid>")
set(CPACK_PACKAGING_INSTALL_PREFIX "${KT_PREFIX}")
set(CPACK_PACKAGE_DIRECTORY "${PROJECT_BINARY_DIR}/packages")
set(CPACK_STRIP_FILES ON)

# The control files' summary line is the project's description; the component
# descriptions below are the bodies.
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL runtime development)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE "${KT_DEB_ARCH}")
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)

set(CPACK_DEBIAN_RUNTIME_PACKAGE_NAME kt-runtime)
set(CPACK_DEBIAN_RUNTIME_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_RUNTIME_PACKAGE_DEPENDS "${KT_DEB_RUNTIME_DEPENDS}")
string(CONCAT CPACK_COMPONENT_RUNTIME_DESCRIPTION
  "Run-time files: the acquisition engine, command protocol, stream ring reader,\n"
  "register, serial and I2C access libraries, the frame filter plug-in and the\n"
  "tools, in ${KT_PREFIX}.")

set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_NAME kt-dev)
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_DEPENDS "kt-runtime (= ${PROJECT_VERSION})")
string(CONCAT CPACK_COMPONENT_DEVELOPMENT_DESCRIPTION
  "Development files: headers, link names, the CMake package kt and pkg-config\n"
  "files for building applications against the instrument software libraries.")

include(CPack)
