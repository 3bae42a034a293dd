# Run by CPack before it makes the packages: removes the empty folders of the product's
# prefix from the staged files of the Python client, which installs nothing there.
file(GLOB_RECURSE staged LIST_DIRECTORIES true "${CPACK_TEMPORARY_INSTALL_DIRECTORY}/*/opt")
foreach(dir IN LISTS staged)
  if(dir MATCHES "/python/opt$" AND IS_DIRECTORY "${dir}")
    file(GLOB_RECURSE files "${dir}/*")
    if(NOT files)
      file(REMOVE_RECURSE "${dir}")
    endif()
  endif()
endforeach()
