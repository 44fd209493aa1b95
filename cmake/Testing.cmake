# Every test binary goes through dictaro_add_test so that CTest sees it and,
# when marked TSAN, so that the ThreadSanitizer tree builds only what it runs.
enable_testing()
find_package(GTest REQUIRED)
include(GoogleTest)

define_property(GLOBAL PROPERTY DICTARO_TSAN_TESTS
  BRIEF_DOCS "Test executables that also run under ThreadSanitizer"
  FULL_DOCS "Collected by dictaro_add_test(... TSAN) for the tsan_suite target")

# dictaro_add_test(<name> SOURCES <files...> LIBS <targets...> [TSAN])
function(dictaro_add_test name)
  cmake_parse_arguments(ARG "TSAN" "" "SOURCES;LIBS" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  target_link_libraries(${name} PRIVATE ${ARG_LIBS} GTest::gmock GTest::gtest_main)
  set(labels unit)
  if(ARG_TSAN)
    list(APPEND labels tsan)
    set_property(GLOBAL APPEND PROPERTY DICTARO_TSAN_TESTS ${name})
  endif()
  gtest_discover_tests(${name}
    WORKING_DIRECTORY ${PROJECT_BINARY_DIR}
    PROPERTIES LABELS "${labels}" ENVIRONMENT "DICTARO_FIXTURES=${PROJECT_BINARY_DIR}/fixtures"
    DISCOVERY_TIMEOUT 60)
endfunction()

function(dictaro_finish_test_suites)
  get_property(tsan_tests GLOBAL PROPERTY DICTARO_TSAN_TESTS)
  add_custom_target(tsan_suite)
  if(tsan_tests)
    add_dependencies(tsan_suite ${tsan_tests})
  endif()
endfunction()
