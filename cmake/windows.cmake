# Windows part of the build: the Win32 platform layer, gen_Velk.dll and the test programs run under Wine.
enable_language(RC)
# No MinGW runtime DLLs: the plug-in and the test programs import Windows system DLLs only.
add_link_options(-static -static-libgcc -static-libstdc++)

# The Win32 platform layer. It implements the seam and calls nothing of the core; the core reaches
# it only through the seam, so neither library links the other.
file(GLOB VELK_WIN32_SOURCES CONFIGURE_DEPENDS platform/win32/*.cpp)
set(VELK_RESOURCES ${CMAKE_SOURCE_DIR}/settings/velk.rc)

add_library(velk_win32 STATIC ${VELK_WIN32_SOURCES})
# The plug-in's function-local statics are all first reached from DllMain, under the loader lock;
# thread-safe guards would cost each load of the DLL a semaphore that outlives its unload.
target_compile_options(velk_core PRIVATE -fno-threadsafe-statics)
target_compile_options(velk_win32 PRIVATE -fno-threadsafe-statics)
# Every function and object in a section of its own, so that the DLL's link keeps only what is
# used; optimised for size in a release build.
foreach(target velk_core velk_win32)
  target_compile_options(${target} PRIVATE -ffunction-sections -fdata-sections
    $<$<CONFIG:Release>:-Os>)
endforeach()
target_include_directories(velk_win32 PUBLIC ${CMAKE_SOURCE_DIR})
target_compile_definitions(velk_win32 PUBLIC WIN32_LEAN_AND_MEAN NOMINMAX)
target_link_libraries(velk_win32 PUBLIC wininet ws2_32 advapi32 user32 gdi32 shell32)
# The core's one direct call into the layer: the system's bounded formatter, FormatBoundedV.
target_link_libraries(velk_core INTERFACE velk_win32)

# The DLL's entry point, resources and trimmed runtime pieces, compiled once for every variant of
# the DLL.
add_library(velk_dll_entry OBJECT plugin/dll_entry_win.cpp plugin/runtime_trim_win.cpp
  ${VELK_RESOURCES})
target_link_libraries(velk_dll_entry PRIVATE velk_core velk_win32)
target_compile_options(velk_dll_entry PRIVATE -ffunction-sections -fdata-sections
  $<$<CONFIG:Release>:-Os>)

# velk_add_plugin_dll(NAME <target> PERIOD_MS <n> [SCHEME <http|https>] [OUTPUT_NAME <file name>]
#                     [OUTPUT_DIRECTORY <dir>])
# Links a variant of the plug-in, <file name>.dll (gen_Velk.dll unless given), in <dir> (the bin
# folder unless given), whose report timer ticks every <n> ms and which reports to the service's
# <scheme> address (VELK_SERVICE_SCHEME unless given). Variants share every object but the ones
# that define the period and the addresses. The link drops what nothing uses; a release link also
# leaves out symbols and debug sections (the static runtime's archives bring DWARF of their own).
function(velk_add_plugin_dll)
  cmake_parse_arguments(PARSE_ARGV 0 ARG "" "NAME;PERIOD_MS;SCHEME;OUTPUT_NAME;OUTPUT_DIRECTORY" "")
  if(NOT ARG_NAME OR NOT ARG_PERIOD_MS OR ARG_UNPARSED_ARGUMENTS)
    message(FATAL_ERROR "velk_add_plugin_dll(NAME <target> PERIOD_MS <n> [SCHEME <scheme>] "
                        "[OUTPUT_NAME <name>] "
                        "[OUTPUT_DIRECTORY <dir>]): got '${ARGV}'")
  endif()
  if(NOT ARG_OUTPUT_NAME)
    set(ARG_OUTPUT_NAME gen_Velk)
  endif()
  if(NOT ARG_SCHEME)
    set(ARG_SCHEME ${VELK_SERVICE_SCHEME})
  endif()
  velk_report_period_source(${ARG_PERIOD_MS} period_source)
  velk_service_scheme_source(${ARG_SCHEME} scheme_source)
  add_library(${ARG_NAME} SHARED ${CMAKE_SOURCE_DIR}/plugin/gen_velk.def ${period_source}
    ${scheme_source})
  target_link_libraries(${ARG_NAME} PRIVATE velk_dll_entry velk_core velk_win32)
  set_target_properties(${ARG_NAME} PROPERTIES PREFIX "" OUTPUT_NAME ${ARG_OUTPUT_NAME})
  target_link_options(${ARG_NAME} PRIVATE -Wl,--gc-sections $<$<CONFIG:Release>:-s>)
  if(ARG_OUTPUT_DIRECTORY)
    set_target_properties(${ARG_NAME} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${ARG_OUTPUT_DIRECTORY}
      LIBRARY_OUTPUT_DIRECTORY ${ARG_OUTPUT_DIRECTORY} ARCHIVE_OUTPUT_DIRECTORY ${ARG_OUTPUT_DIRECTORY})
  endif()
endfunction()

velk_add_plugin_dll(NAME gen_Velk PERIOD_MS ${VELK_REPORT_PERIOD_MS})
# What the end-to-end programs load: gen_Velk.dll itself when its period is already the tests'
# short one and it speaks plain HTTP (win64), else the same objects linked with that period into a
# folder of their own (win32, whose bin/gen_Velk.dll is the release product); and the HTTPS
# variant, in test-plugin-https.
set(VELK_TEST_PERIOD_MS "200" CACHE STRING "Report period of the DLL that the Windows tests load")
set(VELK_TEST_PLUGIN_DIR ${CMAKE_BINARY_DIR}/bin)
set(VELK_TEST_PLUGIN gen_Velk)
if(VELK_TESTS AND (NOT VELK_REPORT_PERIOD_MS EQUAL VELK_TEST_PERIOD_MS OR
                   NOT VELK_SERVICE_SCHEME STREQUAL "http"))
  set(VELK_TEST_PLUGIN_DIR ${CMAKE_BINARY_DIR}/test-plugin)
  set(VELK_TEST_PLUGIN gen_Velk_test)
  velk_add_plugin_dll(NAME gen_Velk_test PERIOD_MS ${VELK_TEST_PERIOD_MS} SCHEME http
    OUTPUT_DIRECTORY ${VELK_TEST_PLUGIN_DIR})
endif()
if(VELK_TESTS)
  velk_add_plugin_dll(NAME gen_Velk_https_test PERIOD_MS ${VELK_TEST_PERIOD_MS} SCHEME https
    OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/test-plugin-https)
endif()

# The simulated player: a static library (host window, playlist) and the tool velk_player.
file(GLOB VELK_PLAYER_SOURCES CONFIGURE_DEPENDS tests/player/*.cpp)
list(FILTER VELK_PLAYER_SOURCES EXCLUDE REGEX "_main\\.cpp$")
add_library(velk_player_core STATIC ${VELK_PLAYER_SOURCES})
target_include_directories(velk_player_core PUBLIC ${CMAKE_SOURCE_DIR})
target_compile_definitions(velk_player_core PUBLIC WIN32_LEAN_AND_MEAN NOMINMAX)
target_link_libraries(velk_player_core PUBLIC user32)
# GCC 12 at -O3 in C++20 takes some std::string insertions for overlapping copies (its bug
# 105329); the test programs and the simulated player, built at -O3, switch that warning off.
target_compile_options(velk_player_core PUBLIC -Wno-restrict)
add_executable(velk_player tests/player/velk_player_main.cpp)
target_link_libraries(velk_player PRIVATE velk_player_core)

# Test programs under Wine: tests/wine/<name>_wine.cpp, each its own program and test. The x86_64
# ones run under wine64 (tests/wine/run: one prefix per build tree, a lock on loopback port 80);
# the i686 ones under 32-bit Wine in the i386 root (tests/wine/run32: a loopback of each run's
# own, the prefix at the same path inside the root), where a machine that cannot run i386
# programs makes each of them a skip with one line saying why.
if(VELK_TESTS AND CMAKE_SIZEOF_VOID_P EQUAL 4)
  set(VELK_WINE_RUN ${CMAKE_SOURCE_DIR}/tests/wine/run32)
  set(VELK_WINE_PREFIX_COMMAND ${VELK_WINE_RUN} wineboot)
elseif(VELK_TESTS AND CMAKE_CROSSCOMPILING_EMULATOR)
  set(VELK_WINE_RUN ${CMAKE_SOURCE_DIR}/tests/wine/run)
  set(VELK_WINE_PREFIX_COMMAND ${CMAKE_SOURCE_DIR}/tests/wine/make_prefix
    ${CMAKE_BINARY_DIR}/wineprefix)
endif()
if(VELK_WINE_RUN)
  enable_testing()
  set(VELK_WINEPREFIX ${CMAKE_BINARY_DIR}/wineprefix)
  set(VELK_WINE_ENVIRONMENT "WINEPREFIX=${VELK_WINEPREFIX}" "VELK_BIN_DIR=${VELK_TEST_PLUGIN_DIR}"
    "VELK_RELEASE_BIN_DIR=${CMAKE_BINARY_DIR}/bin" "VELK_SOURCE_DIR=${CMAKE_SOURCE_DIR}"
    "VELK_WINE64=${CMAKE_CROSSCOMPILING_EMULATOR}")
  add_test(NAME wine_prefix COMMAND ${VELK_WINE_PREFIX_COMMAND})
  set_tests_properties(wine_prefix PROPERTIES FIXTURES_SETUP wine TIMEOUT 300
    SKIP_RETURN_CODE 77 ENVIRONMENT "${VELK_WINE_ENVIRONMENT}")
  file(GLOB wine_tests CONFIGURE_DEPENDS tests/wine/*_wine.cpp)
  # The test programs that use the plug-in's parts directly (the dialog, the sender) use its plain
  # HTTP addresses.
  velk_service_scheme_source(http VELK_TEST_SCHEME_SOURCE)
  foreach(src ${wine_tests})
    get_filename_component(name ${src} NAME_WE)
    # The release period is measured on the release DLL itself, where there is one (win32).
    if(name STREQUAL report_period_wine AND NOT VELK_REPORT_PERIOD_MS EQUAL 10000)
      continue()
    endif()
    add_executable(${name} ${src} ${VELK_RESOURCES} ${VELK_TEST_SCHEME_SOURCE})
    target_include_directories(${name} PRIVATE ${CMAKE_SOURCE_DIR}/tests/wine)
    target_link_libraries(${name} PRIVATE velk_player_core velk_win32 velk_core)
    add_dependencies(${name} ${VELK_TEST_PLUGIN})
    add_test(NAME ${name} COMMAND ${VELK_WINE_RUN} $<TARGET_FILE:${name}>)
    set_tests_properties(${name} PROPERTIES FIXTURES_REQUIRED wine RESOURCE_LOCK loopback80
      TIMEOUT 600 LABELS wine SKIP_RETURN_CODE 77 ENVIRONMENT "${VELK_WINE_ENVIRONMENT}")
  endforeach()
  # The HTTPS variant against loopback TLS servers, each case in network and mount namespaces of its
  # own (the test authority is trusted there only).
  if(CMAKE_SIZEOF_VOID_P EQUAL 4)
    set(wine_kind run32)
  else()
    set(wine_kind wine64)
  endif()
  add_test(NAME https_wine COMMAND ${CMAKE_SOURCE_DIR}/tests/wine/https_test ${wine_kind}
    $<TARGET_FILE:velk_player> $<TARGET_FILE:gen_Velk_https_test>)
  set_tests_properties(https_wine PROPERTIES FIXTURES_REQUIRED wine TIMEOUT 300 LABELS wine
    SKIP_RETURN_CODE 77 ENVIRONMENT "${VELK_WINE_ENVIRONMENT}")
  if(TARGET report_period_wine)
    add_dependencies(report_period_wine gen_Velk)
    set_tests_properties(report_period_wine PROPERTIES LABELS "wine;slow")
  endif()
endif()
