# The publisher's side as a Debian package (`cpack -G DEB`): quorvel-publish, the update server
# with its man pages, example configuration and systemd unit. The updater itself ships inside the
# client's installation and is not part of it.
install(FILES "${CMAKE_SOURCE_DIR}/tools/quorvel-publish/quorvel-publish.1" DESTINATION share/man/man1)
install(FILES "${CMAKE_SOURCE_DIR}/tools/quorvel-update-server/quorvel-update-server.8" DESTINATION share/man/man8)
install(FILES "${CMAKE_SOURCE_DIR}/tools/quorvel-update-server/example.conf"
        DESTINATION /etc/quorvel RENAME update-server.conf)
install(FILES "${CMAKE_SOURCE_DIR}/tools/quorvel-update-server/example.conf"
              "${CMAKE_SOURCE_DIR}/tools/quorvel-update-server/README.md"
        DESTINATION share/doc/quorvel-publisher)
install(FILES "${CMAKE_SOURCE_DIR}/packaging/quorvel-update-server.service" DESTINATION /lib/systemd/system)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME quorvel-publisher)
set(CPACK_PACKAGE_VERSION "${PROJECT_VERSION}")
set(CPACK_PACKAGE_CONTACT "Quorvel release team <release@quorvel.invalid>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Publishing tools and update server for the Quorvel 3 updater")
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
    "quorvel-publish signs product files and writes the mirror tree of a release;\n"
    "quorvel-update-server answers the updater's version, news and banner queries.")
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA "${CMAKE_SOURCE_DIR}/packaging/conffiles")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_PACKAGE_DIRECTORY "${CMAKE_BINARY_DIR}/package")
include(CPack)
