# Windows part of the build: the Win32 platform layer, gen_Velk.dll and the test programs run under Wine.
enable_language(RC)
# No MinGW runtime DLLs: the plug-in and the test programs import Windows system DLLs only.
add_link_options(-static -static-libgcc -static-libstdc++)

# The Win32 platform layer and every other Win32-only source, except the DLL's own entry file.
file(GLOB VELK_WIN32_SOURCES CONFIGURE_DEPENDS platform/win32/*.cpp)
foreach(dir ${VELK_SUBSYSTEMS})
  file(GLOB found CONFIGURE_DEPENDS ${dir}/*_win.cpp)
  list(APPEND VELK_WIN32_SOURCES ${found})
endforeach()
list(FILTER VELK_WIN32_SOURCES EXCLUDE REGEX "(dll_entry_win|runtime_trim_win|_test)\\.cpp$")
file(GLOB VELK_RESOURCES CONFIGURE_DEPENDS settings/*.rc)

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

# velk_link_plugin_dll(<target>): the link of one variant of gen_Velk.dll. Drops what nothing
# uses; a release build also carries no symbols or debug sections (the static runtime's archives
# bring DWARF of their own).
function(velk_link_plugin_dll target)
  target_sources(${target} PRIVATE ${CMAKE_SOURCE_DIR}/plugin/runtime_trim_win.cpp)
  target_compile_options(${target} PRIVATE -ffunction-sections -fdata-sections
    $<$<CONFIG:Release>:-Os>)
  target_link_options(${target} PRIVATE -Wl,--gc-sections $<$<CONFIG:Release>:-s>)
endfunction()
target_compile_definitions(velk_win32 PUBLIC WIN32_LEAN_AND_MEAN NOMINMAX)
target_link_libraries(velk_win32 PUBLIC velk_core wininet ws2_32 advapi32 user32 gdi32 shell32)
# The core calls into the layer through the seam and the layer calls back into the core.
target_link_libraries(velk_core PUBLIC velk_win32)

if(EXISTS ${CMAKE_SOURCE_DIR}/plugin/dll_entry_win.cpp)
  add_library(gen_Velk SHARED plugin/dll_entry_win.cpp plugin/gen_velk.def ${VELK_RESOURCES})
  set_target_properties(gen_Velk PROPERTIES PREFIX "" OUTPUT_NAME gen_Velk)
  target_link_libraries(gen_Velk PRIVATE velk_win32 velk_core)
  velk_link_plugin_dll(gen_Velk)
endif()

# The same plug-in with the release report period of 10 s, for the one test that measures it: the
# objects of the test build, but plugin.cpp compiled again with the release period.
if(TARGET gen_Velk AND VELK_TESTS AND EXISTS ${CMAKE_SOURCE_DIR}/plugin/plugin.cpp)
  add_library(velk_plugin_period10s OBJECT plugin/plugin.cpp)
  target_include_directories(velk_plugin_period10s PRIVATE ${CMAKE_SOURCE_DIR})
  target_compile_definitions(velk_plugin_period10s PRIVATE
    VELK_SERVICE_HOST="${VELK_SERVICE_HOST}" VELK_REPORT_PERIOD_MS=10000)
  add_library(gen_Velk_period10s SHARED plugin/dll_entry_win.cpp plugin/gen_velk.def
    ${VELK_RESOURCES} $<TARGET_OBJECTS:velk_plugin_period10s>)
  set_target_properties(gen_Velk_period10s PROPERTIES PREFIX "")
  target_link_libraries(gen_Velk_period10s PRIVATE velk_win32 velk_core)
  velk_link_plugin_dll(gen_Velk_period10s)
endif()

# The simulated player: a static library (host window, playlist) and the tool velk_player.
file(GLOB VELK_PLAYER_SOURCES CONFIGURE_DEPENDS tests/player/*.cpp)
list(FILTER VELK_PLAYER_SOURCES EXCLUDE REGEX "_main\\.cpp$")
add_library(velk_player_core STATIC ${VELK_PLAYER_SOURCES})
target_include_directories(velk_player_core PUBLIC ${CMAKE_SOURCE_DIR})
target_compile_definitions(velk_player_core PUBLIC WIN32_LEAN_AND_MEAN NOMINMAX)
target_link_libraries(velk_player_core PUBLIC user32)
# GCC 12 at -O3 in C++20 takes a std::string insertion for an overlapping copy (its bug 105329).
target_compile_options(velk_player_core PRIVATE -Wno-restrict)
add_executable(velk_player tests/player/velk_player_main.cpp)
target_link_libraries(velk_player PRIVATE velk_player_core)

# Test programs under Wine: tests/wine/<name>_wine.cpp, each its own program and test, all sharing
# one Wine prefix per build tree and taking a lock on loopback port 80 while they run.
if(VELK_TESTS AND CMAKE_CROSSCOMPILING_EMULATOR)
  enable_testing()
  set(VELK_WINEPREFIX ${CMAKE_BINARY_DIR}/wineprefix)
  add_test(NAME wine_prefix COMMAND ${CMAKE_SOURCE_DIR}/tests/wine/make_prefix ${VELK_WINEPREFIX})
  set_tests_properties(wine_prefix PROPERTIES FIXTURES_SETUP wine TIMEOUT 300)
  file(GLOB wine_tests CONFIGURE_DEPENDS tests/wine/*_wine.cpp)
  foreach(src ${wine_tests})
    get_filename_component(name ${src} NAME_WE)
    add_executable(${name} ${src} ${VELK_RESOURCES})
    target_include_directories(${name} PRIVATE ${CMAKE_SOURCE_DIR}/tests/wine)
    target_link_libraries(${name} PRIVATE velk_player_core velk_win32 velk_core)
    add_test(NAME ${name} COMMAND ${CMAKE_SOURCE_DIR}/tests/wine/run $<TARGET_FILE:${name}>)
    set_tests_properties(${name} PROPERTIES FIXTURES_REQUIRED wine RESOURCE_LOCK loopback80
      TIMEOUT 600 LABELS wine
      ENVIRONMENT "WINEPREFIX=${VELK_WINEPREFIX};VELK_BIN_DIR=${CMAKE_BINARY_DIR}/bin;VELK_SOURCE_DIR=${CMAKE_SOURCE_DIR};VELK_WINE64=${CMAKE_CROSSCOMPILING_EMULATOR}")
    if(TARGET gen_Velk)
      add_dependencies(${name} gen_Velk)
    endif()
  endforeach()
  if(TARGET report_period_wine AND TARGET gen_Velk_period10s)
    add_dependencies(report_period_wine gen_Velk_period10s)
    set_tests_properties(report_period_wine PROPERTIES LABELS "wine;slow")
  endif()
endif()
