# kt_add_gtest(<target> SOURCES <src>... [LINK <dep>...] [NAMESPACE] [TIMEOUT <s>]
#              [SHARDS <n>])
#
# Builds a GoogleTest program and registers it with CTest. NAMESPACE runs it through
# sim/ns-run, which gives the process its own mount and network namespaces (the
# simulated stream device and a private loopback), so tests that bind fixed endpoints
# can run side by side. Cross builds run the program under the emulator. SHARDS splits
# the program's tests into n CTest tests <target>.1 ... <target>.n that run in parallel,
# for programs whose tests spend their time waiting.
set(KT_NS_RUN "${PROJECT_SOURCE_DIR}/sim/ns-run")

function(kt_add_gtest target)
  cmake_parse_arguments(ARG "NAMESPACE" "TIMEOUT;SHARDS" "SOURCES;LINK" ${ARGN})
  add_executable(${target} ${ARG_SOURCES})
  # kttest_main runs a helper role when asked for one (testing/helper.h), else the tests.
  target_link_libraries(${target} PRIVATE ${ARG_LINK} kttest_main GTest::gtest Threads::Threads)
  set(cmd "")
  if(ARG_NAMESPACE)
    list(APPEND cmd "${KT_NS_RUN}")
  endif()
  if(CMAKE_CROSSCOMPILING)
    list(APPEND cmd ${CMAKE_CROSSCOMPILING_EMULATOR})
  endif()
  if(NOT ARG_TIMEOUT)
    set(ARG_TIMEOUT 300)
  endif()
  set(tests "")
  if(ARG_SHARDS)
    foreach(shard RANGE 1 ${ARG_SHARDS})
      math(EXPR index "${shard} - 1")
      add_test(NAME ${target}.${shard} COMMAND ${cmd} "$<TARGET_FILE:${target}>")
      set_tests_properties(${target}.${shard} PROPERTIES ENVIRONMENT
        "GTEST_TOTAL_SHARDS=${ARG_SHARDS};GTEST_SHARD_INDEX=${index}")
      list(APPEND tests ${target}.${shard})
    endforeach()
  else()
    add_test(NAME ${target} COMMAND ${cmd} "$<TARGET_FILE:${target}>")
    set(tests ${target})
  endif()
  # A test that cannot get what it needs fails; it never counts as skipped.
  set_tests_properties(${tests} PROPERTIES TIMEOUT ${ARG_TIMEOUT}
    FAIL_REGULAR_EXPRESSION "\\[  SKIPPED \\]")
  # The sanitizers intercept dlopen, so a library's run path no longer applies to the
  # plug-in it opens; the build tree's library folder is named explicitly instead.
  foreach(test IN LISTS tests)
    if(CMAKE_CXX_FLAGS MATCHES "sanitize=(thread|address)")
      set_property(TEST ${test} APPEND PROPERTY ENVIRONMENT
        "LD_LIBRARY_PATH=${CMAKE_BINARY_DIR}/lib")
    endif()
    if(CMAKE_CXX_FLAGS MATCHES "sanitize=thread")
      set_property(TEST ${test} APPEND PROPERTY ENVIRONMENT
        "TSAN_OPTIONS=suppressions=${PROJECT_SOURCE_DIR}/cmake/tsan.supp")
    endif()
  endforeach()
endfunction()

# A test program that needs the target's real kernel interfaces (the UIO stream device,
# the serial driver, i2c-dev). It is built in every build, so that it always compiles, but
# only scripts/test-kernel runs it, inside the emulated ARM board; CTest never does.
function(kt_add_guest_gtest target)
  cmake_parse_arguments(ARG "" "" "SOURCES;LINK" ${ARGN})
  add_executable(${target} ${ARG_SOURCES})
  target_link_libraries(${target} PRIVATE ${ARG_LINK} kttest_main GTest::gtest Threads::Threads)
endfunction()
