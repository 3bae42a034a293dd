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
# A library whose KT_COMPONENT property names another component installs there whole:
# library, link names, the headers in its KT_HEADERS property, its pkg-config file and a
# CMake targets file kt-<name>-targets.cmake of its own (the utility stand-in does).
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
  set_property(GLOBAL APPEND PROPERTY KT_LIBRARIES ${target})
endfunction()

# Installs a library by its KT_COMPONENT property (set by its folder after kt_add_library).
# Sets `runtime_out`/`dev_out` to the components of its run-time and development files.
function(_kt_install_library_files target runtime_out dev_out)
  get_target_property(component ${target} KT_COMPONENT)
  get_target_property(name ${target} EXPORT_NAME)
  if(component)
    install(TARGETS ${target} EXPORT kt-${name}-targets
      LIBRARY DESTINATION lib COMPONENT ${component} NAMELINK_COMPONENT ${component})
    install(EXPORT kt-${name}-targets NAMESPACE kt:: DESTINATION "${KT_INSTALL_CMAKEDIR}"
      FILE kt-${name}-targets.cmake COMPONENT ${component})
    set(${runtime_out} ${component} PARENT_SCOPE)
    set(${dev_out} ${component} PARENT_SCOPE)
  else()
    install(TARGETS ${target} EXPORT kt-targets
      LIBRARY DESTINATION lib COMPONENT runtime NAMELINK_COMPONENT development)
    set(${runtime_out} runtime PARENT_SCOPE)
    set(${dev_out} development PARENT_SCOPE)
  endif()
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

  _kt_public_headers(headers)
  set(main_headers ${headers})
  foreach(lib IN LISTS libs)
    _kt_fix_include_dirs(${lib})
    _kt_install_library_files(${lib} runtime_component dev_component)
    set_target_properties(${lib} PROPERTIES KT_DEV_COMPONENT ${dev_component})
    get_target_property(own_headers ${lib} KT_HEADERS)
    get_target_property(source_dir ${lib} SOURCE_DIR)
    if(own_headers)
      foreach(h IN LISTS own_headers)
        install(FILES "${source_dir}/${h}" DESTINATION include COMPONENT ${dev_component})
        list(REMOVE_ITEM main_headers "${source_dir}/${h}")
      endforeach()
    endif()
  endforeach()
  install(FILES ${main_headers} DESTINATION include COMPONENT development)

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
    get_target_property(dev_component ${lib} KT_DEV_COMPONENT)
    install(FILES "${cfgdir}/${output}.pc" DESTINATION "${KT_INSTALL_PCDIR}"
      COMPONENT ${dev_component})
    string(REPLACE ";" "," needed "${needed}")
    # The last field names the component: the package checks place the library by it.
    string(APPEND manifest
      "${name}|$<TARGET_FILE_NAME:${lib}>|${exports}|${needed}|${dev_component}\n")
  endforeach()

  # What the checks of the installed product compare against.
  set(KT_INSTALL_MANIFEST "${PROJECT_BINARY_DIR}/kt-install-manifest.txt")
  file(GENERATE OUTPUT "${KT_INSTALL_MANIFEST}" CONTENT "${manifest}")
  set(header_names "")
  foreach(h IN LISTS headers)
    get_filename_component(n "${h}" NAME)
    list(APPEND header_names "${n}")
  endforeach()

  include("${PROJECT_SOURCE_DIR}/cmake/KtDocs.cmake")
  include("${PROJECT_SOURCE_DIR}/cmake/KtInstallTools.cmake")
  include("${PROJECT_SOURCE_DIR}/cmake/KtPackage.cmake")
  if(KT_BUILD_TESTS)
    include("${PROJECT_SOURCE_DIR}/cmake/KtInstallTests.cmake")
  endif()
endfunction()

cmake_language(DEFER DIRECTORY "${PROJECT_SOURCE_DIR}" CALL _kt_install_finish)
