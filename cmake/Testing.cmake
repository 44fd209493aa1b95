# Every test binary goes through dictaro_add_test so that CTest sees it and,
# when marked TSAN, so that the ThreadSanitizer tree builds only what it runs.
enable_testing()
find_package(GTest REQUIRED)
include(GoogleTest)

define_property(GLOBAL PROPERTY DICTARO_TSAN_TESTS
  BRIEF_DOCS "Test executables that also run under ThreadSanitizer"
  FULL_DOCS "Collected by dictaro_add_test(... TSAN) for the tsan_suite target")

# dictaro_add_test(<name> SOURCES <files...> LIBS <targets...> [TSAN]
#                  [RESOURCE_LOCK <resources...>])
# Tests that share a RESOURCE_LOCK (the one X display, the one keyring) never
# run at the same time as each other.
function(dictaro_add_test name)
  cmake_parse_arguments(ARG "TSAN" "" "SOURCES;LIBS;RESOURCE_LOCK" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  target_link_libraries(${name} PRIVATE ${ARG_LIBS} test_support_headers GTest::gmock GTest::gtest_main)
  # scripts/setup fetches the fixtures once into build/fixtures; the sanitizer
  # trees read that same copy.
  gtest_discover_tests(${name}
    WORKING_DIRECTORY ${PROJECT_BINARY_DIR}
    PROPERTIES LABELS unit ENVIRONMENT "DICTARO_FIXTURES=${PROJECT_SOURCE_DIR}/build/fixtures"
    DISCOVERY_TIMEOUT 60)
  if(ARG_TSAN)
    set_property(GLOBAL APPEND PROPERTY DICTARO_TSAN_TESTS ${name})
    # Discovery flattens list-valued properties, so the second label is set
    # afterwards on the discovered tests, from a file CTest reads after the
    # discovery's own.
    set(label_file ${CMAKE_CURRENT_BINARY_DIR}/${name}_tsan_label.cmake)
    file(WRITE ${label_file}
      "if(DEFINED ${name}_TESTS)\n"
      "  set_tests_properties(\${${name}_TESTS} PROPERTIES LABELS \"unit;tsan\")\n"
      "endif()\n")
    set_property(DIRECTORY APPEND PROPERTY TEST_INCLUDE_FILES ${label_file})
  endif()
  if(ARG_RESOURCE_LOCK)
    # A list too, so it is set the same way as the second label.
    set(lock_file ${CMAKE_CURRENT_BINARY_DIR}/${name}_resource_lock.cmake)
    file(WRITE ${lock_file}
      "if(DEFINED ${name}_TESTS)\n"
      "  set_tests_properties(\${${name}_TESTS} PROPERTIES RESOURCE_LOCK \"${ARG_RESOURCE_LOCK}\")\n"
      "endif()\n")
    set_property(DIRECTORY APPEND PROPERTY TEST_INCLUDE_FILES ${lock_file})
  endif()
endfunction()

function(dictaro_finish_test_suites)
  get_property(tsan_tests GLOBAL PROPERTY DICTARO_TSAN_TESTS)
  add_custom_target(tsan_suite)
  if(tsan_tests)
    add_dependencies(tsan_suite ${tsan_tests})
  endif()
endfunction()
