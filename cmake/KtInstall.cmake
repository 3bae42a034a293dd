# Install layout, CMake package, pkg-config files and the checks of the installed product.
#
#   /opt/tarvik/app/lib        the libraries, their version links and the filter plug-in
#   /opt/tarvik/app/include    the public headers kt_*.h of every subsystem folder
#   /opt/tarvik/app/bin        the tools declared with kt_add_tool(<name> INSTALL ...)
#   /opt/tarvik/app/lib/cmake/kt, /opt/tarvik/app/lib/pkgconfig
#
# kt_add_library() calls kt_install_library() for each library; everything that needs the
# complete set of targets runs once at the end of the top-level directory. Components:
# "runtime" (libraries, tools) and "development" (headers, link names, package files).
include_guard(GLOBAL)

if(CMAKE_INSTALL_PREFIX_INITIALIZED_TO_DEFAULT)
  set(CMAKE_INSTALL_PREFIX "${KT_PREFIX}" CACHE PATH "Install prefix" FORCE)
endif()

set(KT_INSTALL_CMAKEDIR "lib/cmake/kt")
set(KT_INSTALL_PCDIR "lib/pkgconfig")

# Folders at the top of the tree that hold no product headers.
set(KT_NOT_PRODUCT_DIRS sim tools bench examples docs scripts cmake build)

# Installs one library made by kt_add_library and enters it in the export set. The
# imported target is kt::<name without "kt">: kt::daq, kt::cmd, kt::filters, ...
function(kt_install_library target output version exports needed)
  string(REGEX REPLACE "^kt" "" name "${output}")
  set_target_properties(${target} PROPERTIES
    EXPORT_NAME "${name}"
    KT_EXPORTS_FILE "${exports}"
    KT_NEEDED "${needed}")
  if(version)
    set_target_properties(${target} PROPERTIES KT_PC_VERSION "${version}")
  else()
    set_target_properties(${target} PROPERTIES KT_PC_VERSION "${PROJECT_VERSION}")
  endif()
  install(TARGETS ${target} EXPORT kt-targets
    LIBRARY DESTINATION lib COMPONENT runtime NAMELINK_COMPONENT development)
  set_property(GLOBAL APPEND PROPERTY KT_LIBRARIES ${target})
endfunction()

# Include directories given as plain build-tree paths (target_include_directories after
# kt_add_library) are meaningless once installed: keep them for the build only and give
# installed consumers the one include folder.
function(_kt_fix_include_dirs target)
  get_target_property(dirs ${target} INTERFACE_INCLUDE_DIRECTORIES)
  set(fixed "")
  if(dirs)
    foreach(dir IN LISTS dirs)
      if(dir MATCHES "^\\$<")
        list(APPEND fixed "${dir}")
      else()
        list(APPEND fixed "$<BUILD_INTERFACE:${dir}>")
      endif()
    endforeach()
  endif()
  list(APPEND fixed "$<INSTALL_INTERFACE:include>")
  list(REMOVE_DUPLICATES fixed)
  set_target_properties(${target} PROPERTIES INTERFACE_INCLUDE_DIRECTORIES "${fixed}")
endfunction()

# The public headers: kt_*.h directly in each subsystem folder.
function(_kt_public_headers out)
  file(GLOB headers "${PROJECT_SOURCE_DIR}/*/kt_*.h")
  set(result "")
  foreach(h IN LISTS headers)
    file(RELATIVE_PATH rel "${PROJECT_SOURCE_DIR}" "${h}")
    string(REGEX REPLACE "/.*" "" top "${rel}")
    if(NOT top IN_LIST KT_NOT_PRODUCT_DIRS)
      list(APPEND result "${h}")
    endif()
  endforeach()
  list(SORT result)
  set(${out} ${result} PARENT_SCOPE)
endfunction()

function(_kt_install_finish)
  include(CMakePackageConfigHelpers)
  get_property(libs GLOBAL PROPERTY KT_LIBRARIES)

  foreach(lib IN LISTS libs)
    _kt_fix_include_dirs(${lib})
  endforeach()

  _kt_public_headers(headers)
  install(FILES ${headers} DESTINATION include COMPONENT development)

  # The tools install themselves (kt_add_tool ... INSTALL).
  get_property(tools GLOBAL PROPERTY KT_TOOLS)

  # CMake package: find_package(kt CONFIG [COMPONENTS daq cmd ...]).
  install(EXPORT kt-targets NAMESPACE kt:: DESTINATION "${KT_INSTALL_CMAKEDIR}"
    FILE kt-targets.cmake COMPONENT development)
  set(cfgdir "${PROJECT_BINARY_DIR}/kt-package")
  configure_package_config_file("${PROJECT_SOURCE_DIR}/cmake/kt-config.cmake.in"
    "${cfgdir}/kt-config.cmake" INSTALL_DESTINATION "${KT_INSTALL_CMAKEDIR}")
  write_basic_package_version_file("${cfgdir}/kt-config-version.cmake"
    VERSION "${PROJECT_VERSION}" COMPATIBILITY SameMajorVersion)
  install(FILES "${cfgdir}/kt-config.cmake" "${cfgdir}/kt-config-version.cmake"
    DESTINATION "${KT_INSTALL_CMAKEDIR}" COMPONENT development)

  # One pkg-config file per library, named after it: ktdaq.pc, ktcmd.pc, ...
  set(manifest "")
  foreach(lib IN LISTS libs)
    get_target_property(output ${lib} OUTPUT_NAME)
    get_target_property(pc_version ${lib} KT_PC_VERSION)
    get_target_property(exports ${lib} KT_EXPORTS_FILE)
    get_target_property(needed ${lib} KT_NEEDED)
    get_target_property(name ${lib} EXPORT_NAME)
    set(PC_NAME "${output}")
    set(PC_VERSION "${pc_version}")
    set(PC_PREFIX "${KT_PREFIX}")
    configure_file("${PROJECT_SOURCE_DIR}/cmake/kt-library.pc.in" "${cfgdir}/${output}.pc" @ONLY)
    install(FILES "${cfgdir}/${output}.pc" DESTINATION "${KT_INSTALL_PCDIR}"
      COMPONENT development)
    string(REPLACE ";" "," needed "${needed}")
    string(APPEND manifest "${name}|$<TARGET_FILE_NAME:${lib}>|${exports}|${needed}\n")
  endforeach()

  # What the checks of the installed product compare against.
  set(KT_INSTALL_MANIFEST "${PROJECT_BINARY_DIR}/kt-install-manifest.txt")
  file(GENERATE OUTPUT "${KT_INSTALL_MANIFEST}" CONTENT "${manifest}")
  set(header_names "")
  foreach(h IN LISTS headers)
    get_filename_component(n "${h}" NAME)
    list(APPEND header_names "${n}")
  endforeach()

  include("${PROJECT_SOURCE_DIR}/cmake/KtPackage.cmake")
  include("${PROJECT_SOURCE_DIR}/cmake/KtDocs.cmake")
  if(KT_BUILD_TESTS)
    include("${PROJECT_SOURCE_DIR}/cmake/KtInstallTests.cmake")
  endif()
endfunction()

cmake_language(DEFER DIRECTORY "${PROJECT_SOURCE_DIR}" CALL _kt_install_finish)
