# The Debian package velk-service_VERSION_amd64.deb: `cpack -G DEB` in the build folder (or the
# `package` target) after a native build. Its library dependencies come from dpkg-shlibdeps.
set(velk_deb ${CMAKE_CURRENT_SOURCE_DIR}/deploy/debian)

# The packaged settings list every option with its default; only the data file is set.
set(velk_conf ${CMAKE_CURRENT_BINARY_DIR}/velk-service.conf)
add_custom_command(
  OUTPUT ${velk_conf}
  COMMAND sh -c "\"$1\" config --db /var/lib/velk-service/velk-service.sqlite >\"$2\"" sh
          $<TARGET_FILE:velk-service> ${velk_conf}
  DEPENDS velk-service
  VERBATIM)
add_custom_target(velk-service-conf ALL DEPENDS ${velk_conf})

install(TARGETS velk-service RUNTIME DESTINATION bin)
install(FILES ${velk_conf} DESTINATION /etc/velk-service)
install(FILES ${velk_deb}/velk-service.service DESTINATION /lib/systemd/system)
install(FILES ${CMAKE_CURRENT_SOURCE_DIR}/README.md DESTINATION share/doc/velk-service)
install(FILES ${CMAKE_CURRENT_SOURCE_DIR}/deploy/nginx.conf
        DESTINATION share/doc/velk-service/examples)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME velk-service)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "Velk developers <velk@example.org>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Velk signature service: now-playing images for forum signatures")
string(CONCAT CPACK_PACKAGE_DESCRIPTION
       "Takes the reports of the Velk player plug-in and serves each account's signature image,\n"
       "with a registration page and an account page. Data in SQLite (or PostgreSQL); health at\n"
       "/healthz and /readyz, Prometheus metrics on a loopback listener, logs in the journal.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS
    "adduser, init-system-helpers, fonts-dejavu-core, fonts-noto-core, fonts-noto-cjk")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${velk_deb}/postinst ${velk_deb}/prerm ${velk_deb}/postrm
                                       ${velk_deb}/conffiles)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION TRUE)
include(CPack)
