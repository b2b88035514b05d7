# Native (Linux) part of the build: the in-memory platform fakes, unit tests, benchmarks, the service.
find_package(Threads REQUIRED)

file(GLOB VELK_FAKE_SOURCES CONFIGURE_DEPENDS platform/fake/*.cpp)
add_library(velk_fake STATIC ${VELK_FAKE_SOURCES})
target_link_libraries(velk_fake PUBLIC velk_core Threads::Threads)

# The report period (VELK_REPORT_PERIOD_MS) and the service's addresses (VELK_SERVICE_SCHEME) of
# this build, compiled into each program that runs the plug-in against the fakes.
velk_report_period_source(${VELK_REPORT_PERIOD_MS} VELK_PERIOD_SOURCE)
velk_service_scheme_source(${VELK_SERVICE_SCHEME} VELK_SCHEME_SOURCE)
add_library(velk_native_period INTERFACE)
target_sources(velk_native_period INTERFACE ${VELK_PERIOD_SOURCE} ${VELK_SCHEME_SOURCE})

if(VELK_TESTS)
  enable_testing()
  find_package(GTest REQUIRED)
  include(GoogleTest)
  # What the tests share: fakes wired to the module records, the scoped platform.
  file(GLOB VELK_TEST_SUPPORT_SOURCES CONFIGURE_DEPENDS tests/support/*.cpp)
  set(support_sources ${VELK_TEST_SUPPORT_SOURCES})
  list(FILTER support_sources EXCLUDE REGEX "_test\\.cpp$")
  add_library(velk_test_support STATIC ${support_sources})
  target_link_libraries(velk_test_support PUBLIC velk_fake GTest::gtest)

  # One test program per folder, <folder>_tests, from the folder's *_test.cpp files.
  velk_portable_files(_test.cpp VELK_UNIT_TESTS)
  list(APPEND VELK_UNIT_TESTS ${VELK_TEST_SUPPORT_SOURCES})
  list(FILTER VELK_UNIT_TESTS INCLUDE REGEX "_test\\.cpp$")
  set(test_programs)
  foreach(test ${VELK_UNIT_TESTS})
    get_filename_component(dir ${test} DIRECTORY)
    get_filename_component(name ${dir} NAME)
    list(APPEND test_programs ${name})
    list(APPEND tests_of_${name} ${test})
  endforeach()
  list(REMOVE_DUPLICATES test_programs)
  foreach(name ${test_programs})
    add_executable(${name}_tests ${tests_of_${name}})
    target_link_libraries(${name}_tests PRIVATE velk_test_support velk_native_period GTest::gtest
                                               GTest::gtest_main GTest::gmock)
    gtest_discover_tests(${name}_tests DISCOVERY_TIMEOUT 30 PROPERTIES LABELS unit)
  endforeach()

  find_package(benchmark QUIET)
  if(benchmark_FOUND)
    # A benchmark of one folder's code sits beside it; one that wires subsystems together, in
    # tests/bench/.
    velk_portable_files(_bench.cpp benches)
    file(GLOB found CONFIGURE_DEPENDS tests/bench/*_bench.cpp)
    list(APPEND benches ${found})
    foreach(bench ${benches})
      get_filename_component(name ${bench} NAME_WE)
      add_executable(${name} ${bench})
      target_link_libraries(${name} PRIVATE velk_test_support velk_native_period
                                              benchmark::benchmark)
    endforeach()
  endif()
endif()

if(VELK_SERVICE)
  add_subdirectory(service)
endif()

# Fuzz targets: <folder>/*_fuzz.cpp for one folder's code, tests/fuzz/*_fuzz.cpp for targets that
# wire several subsystems together, and tests/fuzz/service_*_fuzz.cpp for the service. With
# VELK_FUZZ (clang, see scripts/fuzz) each becomes a libFuzzer program <name>; otherwise, in the
# test build, a program <name>_replay that runs its seed corpus tests/fuzz/corpus/<name>/ under CTest.
option(VELK_FUZZ "Build the fuzz targets as libFuzzer programs (needs clang)" OFF)
velk_portable_files(_fuzz.cpp VELK_FUZZ_SOURCES)
file(GLOB found CONFIGURE_DEPENDS tests/fuzz/*_fuzz.cpp)
if(NOT VELK_SERVICE)
  list(FILTER found EXCLUDE REGEX "/service_[^/]*_fuzz\\.cpp$")
endif()
list(APPEND VELK_FUZZ_SOURCES ${found})
foreach(src ${VELK_FUZZ_SOURCES})
  get_filename_component(name ${src} NAME_WE)
  set(libs velk_fake velk_native_period)
  if(name MATCHES "^service_")
    set(libs velk_service velk_core)
  endif()
  if(VELK_FUZZ)
    add_executable(${name} ${src})
    target_link_libraries(${name} PRIVATE ${libs})
    target_link_options(${name} PRIVATE -fsanitize=fuzzer)
  elseif(VELK_TESTS)
    add_executable(${name}_replay ${src} tests/fuzz/regress_main.cpp)
    target_link_libraries(${name}_replay PRIVATE ${libs})
    add_test(NAME ${name}_corpus
             COMMAND ${name}_replay ${CMAKE_SOURCE_DIR}/tests/fuzz/corpus/${name})
    set_tests_properties(${name}_corpus PROPERTIES LABELS fuzz)
    if(name MATCHES "^service_")
      set_tests_properties(${name}_corpus PROPERTIES LABELS "fuzz;service")
    endif()
  endif()
endforeach()
