# Debian package: the binary, its systemd unit, docs and an example configuration.
# Shared-library dependencies are computed by dpkg-shlibdeps, not written by hand.
include(GNUInstallDirs)

install(FILES packaging/norvane.service DESTINATION lib/systemd/system)
install(FILES README.md docs/configuration.md docs/operations.md docs/deployment.md
        DESTINATION ${CMAKE_INSTALL_DOCDIR})
install(FILES packaging/copyright DESTINATION ${CMAKE_INSTALL_DOCDIR})
install(FILES packaging/lintian-overrides DESTINATION share/lintian/overrides RENAME norvane)
install(FILES ${CMAKE_BINARY_DIR}/packaging/changelog.Debian.gz DESTINATION ${CMAKE_INSTALL_DOCDIR})
install(DIRECTORY docs/examples/ DESTINATION ${CMAKE_INSTALL_DOCDIR}/examples)

# Debian wants the changelog compressed with maximum compression and no timestamp.
file(MAKE_DIRECTORY ${CMAKE_BINARY_DIR}/packaging)
configure_file(packaging/changelog.Debian.in ${CMAKE_BINARY_DIR}/packaging/changelog.Debian @ONLY)
execute_process(COMMAND gzip -9 -n -f -k ${CMAKE_BINARY_DIR}/packaging/changelog.Debian)
configure_file(packaging/norvane.8 ${CMAKE_BINARY_DIR}/packaging/norvane.8 COPYONLY)
execute_process(COMMAND gzip -9 -n -f -k ${CMAKE_BINARY_DIR}/packaging/norvane.8)
install(FILES ${CMAKE_BINARY_DIR}/packaging/norvane.8.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man8)

if(CMAKE_SYSTEM_PROCESSOR MATCHES "aarch64|arm64")
  set(NORVANE_DEB_ARCH arm64)
else()
  set(NORVANE_DEB_ARCH amd64)
endif()

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME norvane)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_PACKAGE_CONTACT "norvane maintainers <maintainers@norvane.invalid>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "per-minute meter messages from a controller's MQTT bus")
set(CPACK_PACKAGE_DESCRIPTION
  "norvane publishes, once a minute, the maximum, average and minimum of every\nconfigured control for a cloud bridge, from live values and back-filled from\nthe database logger's history over MQTT RPC.")
set(CPACK_DEBIAN_PACKAGE_RELEASE ${NORVANE_PACKAGE_RELEASE})
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE ${NORVANE_DEB_ARCH})
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS mosquitto)
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
  ${CMAKE_SOURCE_DIR}/packaging/postinst ${CMAKE_SOURCE_DIR}/packaging/prerm
  ${CMAKE_SOURCE_DIR}/packaging/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_STRIP_FILES ON)
include(CPack)
