# Velk-Setup.exe: the NSIS installer of the plug-in built in this tree, and its test under 32-bit Wine.
# Built only where makensis is found; the DLL builds without it.
find_program(VELK_MAKENSIS makensis)
# Only for the 32-bit plug-in, the one a player loads; the 64-bit build is for tests.
if(NOT TARGET gen_Velk OR NOT CMAKE_SIZEOF_VOID_P EQUAL 4)
  return()
endif()
if(NOT VELK_MAKENSIS)
  message(STATUS "makensis not found: no Velk-Setup.exe (scripts/bootstrap installs Debian's nsis)")
  return()
endif()

set(VELK_INSTALLER ${CMAKE_BINARY_DIR}/installer/Velk-Setup.exe)
set(VELK_INSTALLER_SCRIPT ${CMAKE_SOURCE_DIR}/installer/velk.nsi)
add_custom_command(OUTPUT ${VELK_INSTALLER}
  COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/installer
  COMMAND ${VELK_MAKENSIS} -V2 -INPUTCHARSET UTF8 "-XTarget x86-unicode"
    -DVERSION=${PROJECT_VERSION}
    -DFILE_VERSION=${PROJECT_VERSION_MAJOR}.${PROJECT_VERSION_MINOR}.${PROJECT_VERSION_PATCH}.0
    -DSERVICE_HOST=${VELK_SERVICE_HOST} -DSERVICE_SCHEME=${VELK_SERVICE_SCHEME}
    -DPLUGIN_DLL=$<TARGET_FILE:gen_Velk>
    -DOUTFILE=${VELK_INSTALLER} ${VELK_INSTALLER_SCRIPT}
  DEPENDS gen_Velk ${VELK_INSTALLER_SCRIPT}
  COMMENT "Packing Velk-Setup.exe"
  VERBATIM)
add_custom_target(velk_installer ALL DEPENDS ${VELK_INSTALLER})

# Install, uninstall, an account's first report and the pages' screenshots, under 32-bit Wine in the i386 root
# (tests/wine/run32, which exits 77 where that root cannot run).
if(VELK_TESTS)
  enable_testing()
  add_executable(setup_wine tests/installer/setup_wine.cpp)
  target_include_directories(setup_wine PRIVATE ${CMAKE_SOURCE_DIR} ${CMAKE_SOURCE_DIR}/tests/wine)
  target_compile_definitions(setup_wine PRIVATE WIN32_LEAN_AND_MEAN NOMINMAX
    VELK_VERSION="${PROJECT_VERSION}")
  target_link_libraries(setup_wine PRIVATE velk_player_core ws2_32 advapi32 user32 gdi32 shell32)
  add_dependencies(setup_wine velk_installer)
  add_test(NAME installer_wine
    COMMAND ${CMAKE_SOURCE_DIR}/tests/wine/run32 $<TARGET_FILE:setup_wine> ${VELK_INSTALLER})
  set_tests_properties(installer_wine PROPERTIES SKIP_RETURN_CODE 77 TIMEOUT 300 LABELS wine
    ENVIRONMENT "WINEPREFIX=${CMAKE_BINARY_DIR}/wineprefix;VELK_BIN_DIR=${CMAKE_BINARY_DIR}/bin")
endif()
