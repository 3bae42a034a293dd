cmake_minimum_required(VERSION 3.25)
# Installs the build at BUILD into the empty staging folder STAGE, as a package would
# install it: every component, under the product prefix PREFIX.
file(REMOVE_RECURSE "${STAGE}")
execute_process(
  COMMAND "${CMAKE_COMMAND}" -E env "DESTDIR=${STAGE}"
    "${CMAKE_COMMAND}" --install "${BUILD}" --prefix "${PREFIX}"
  RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "installing ${BUILD} into ${STAGE} failed")
endif()
