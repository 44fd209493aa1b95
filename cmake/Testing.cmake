# Every test binary goes through dictaro_add_test so that CTest sees it and,
# when marked TSAN, so that the ThreadSanitizer tree builds only what it runs.
enable_testing()
find_package(GTest REQUIRED)
include(GoogleTest)

define_property(GLOBAL PROPERTY DICTARO_TSAN_TESTS
  BRIEF_DOCS "Test executables that also run under ThreadSanitizer"
  FULL_DOCS "Collected by dictaro_add_test(... TSAN) for the tsan_suite target")

# Discovery flattens list-valued properties, so a test binary's labels,
# environment and resource locks are set afterwards on the tests of `list`,
# from a file CTest reads after the discovery's own.
function(dictaro_append_test_settings file list labels environment locks)
  file(APPEND ${file}
    "if(DEFINED ${list})\n"
    "  set_tests_properties(\${${list}} PROPERTIES LABELS \"${labels}\" ENVIRONMENT \"${environment}\")\n")
  if(locks)
    file(APPEND ${file} "  set_tests_properties(\${${list}} PROPERTIES RESOURCE_LOCK \"${locks}\")\n")
  endif()
  file(APPEND ${file} "endif()\n")
endfunction()

# dictaro_add_test(<name> SOURCES <files...> LIBS <targets...> [TSAN]
#                  [RESOURCE_LOCK <resources...>] [INSTRUCTION_PATHS])
# Tests that share a RESOURCE_LOCK (the one X display, the one keyring) never
# run at the same time as each other. INSTRUCTION_PATHS runs every test again
# on each path of the runtime's kernels (<test>.plain, .avx2, .avx512), capped
# through oneDNN's ONEDNN_MAX_CPU_ISA, which our kernels honour too; the
# unsuffixed run takes the processor's widest path.
function(dictaro_add_test name)
  cmake_parse_arguments(ARG "TSAN;INSTRUCTION_PATHS" "" "SOURCES;LIBS;RESOURCE_LOCK" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  target_link_libraries(${name} PRIVATE ${ARG_LIBS} test_support_headers GTest::gmock GTest::gtest_main)
  # scripts/setup fetches the fixtures once into build/fixtures; the sanitizer
  # trees read that same copy.
  set(fixtures "DICTARO_FIXTURES=${PROJECT_SOURCE_DIR}/build/fixtures")
  set(labels unit)
  if(ARG_TSAN)
    set_property(GLOBAL APPEND PROPERTY DICTARO_TSAN_TESTS ${name})
    set(labels "unit;tsan")
  endif()
  set(settings ${CMAKE_CURRENT_BINARY_DIR}/${name}_test_settings.cmake)
  file(WRITE ${settings} "")
  gtest_discover_tests(${name} WORKING_DIRECTORY ${PROJECT_BINARY_DIR} DISCOVERY_TIMEOUT 60)
  dictaro_append_test_settings(${settings} ${name}_TESTS "${labels}" "${fixtures}" "${ARG_RESOURCE_LOCK}")
  if(ARG_INSTRUCTION_PATHS)
    set(paths plain avx2 avx512)
    set(caps SSE41 AVX2 AVX512_CORE)
    foreach(path cap IN ZIP_LISTS paths caps)
      gtest_discover_tests(${name} WORKING_DIRECTORY ${PROJECT_BINARY_DIR} DISCOVERY_TIMEOUT 60
        TEST_SUFFIX .${path} TEST_LIST ${name}_${path}_TESTS)
      dictaro_append_test_settings(${settings} ${name}_${path}_TESTS "${labels}"
        "${fixtures};ONEDNN_MAX_CPU_ISA=${cap}" "${ARG_RESOURCE_LOCK}")
    endforeach()
  endif()
  set_property(DIRECTORY APPEND PROPERTY TEST_INCLUDE_FILES ${settings})
endfunction()

function(dictaro_finish_test_suites)
  get_property(tsan_tests GLOBAL PROPERTY DICTARO_TSAN_TESTS)
  add_custom_target(tsan_suite)
  if(tsan_tests)
    add_dependencies(tsan_suite ${tsan_tests})
  endif()
endfunction()
