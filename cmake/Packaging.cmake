# The Debian package (cpack -G DEB, or cpack --preset package): the program folder with the
# helper and readme.txt, the menu entry, icon, AppStream data, manual page and the Debian
# documents. CPack writes every file as root:root; the maintainer scripts give the helper its
# group, mode and capabilities.
include(GNUInstallDirs)

set(OKG_PACKAGE_DIR ${PROJECT_SOURCE_DIR}/package)
set(OKG_DOC_DIR ${CMAKE_INSTALL_DATADIR}/doc/okgate)

install(TARGETS okgate-helper RUNTIME DESTINATION ${CMAKE_INSTALL_LIBEXECDIR}/okgate)

# Debian wants the changelog and manual page compressed without a time stamp.
foreach(doc changelog okgate.1)
    configure_file(${OKG_PACKAGE_DIR}/${doc}.in ${CMAKE_CURRENT_BINARY_DIR}/package/${doc} @ONLY)
    add_custom_command(OUTPUT ${CMAKE_CURRENT_BINARY_DIR}/package/${doc}.gz
        COMMAND gzip -9n -c ${CMAKE_CURRENT_BINARY_DIR}/package/${doc}
                > ${CMAKE_CURRENT_BINARY_DIR}/package/${doc}.gz
        DEPENDS ${CMAKE_CURRENT_BINARY_DIR}/package/${doc}
        VERBATIM)
endforeach()
add_custom_target(okg_package_docs ALL DEPENDS
    ${CMAKE_CURRENT_BINARY_DIR}/package/changelog.gz ${CMAKE_CURRENT_BINARY_DIR}/package/okgate.1.gz)
configure_file(${OKG_PACKAGE_DIR}/okgate.metainfo.xml.in
    ${CMAKE_CURRENT_BINARY_DIR}/package/example.orvo.kestrelgate.metainfo.xml @ONLY)

install(FILES ${OKG_PACKAGE_DIR}/copyright ${CMAKE_CURRENT_BINARY_DIR}/package/changelog.gz
    DESTINATION ${OKG_DOC_DIR})
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/package/okgate.1.gz
    DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/package/example.orvo.kestrelgate.metainfo.xml
    DESTINATION ${CMAKE_INSTALL_DATADIR}/metainfo)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME okgate)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_PACKAGE_CONTACT "Orvo Kestrel Gate developers <okgate@orvo.example>")
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${CPACK_PACKAGE_CONTACT}")
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "https://orvo.example/kestrelgate")
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "cut TCP connections on blocked ports
${OKG_PRODUCT_NAME} watches the machine's TCP connection table and cuts every
established connection on a blocked local or remote port, unless the remote
address is allowed. One window, a tray icon and three lists that survive
restarts.
.
The window runs without rights. The small helper okgate-helper, which only
members of the group okgate may run, holds the capabilities to follow the
table through kernel events and to cut connections.")
# The libraries the binaries link; Qt's platform plugins, which no library links but the window
# cannot start without; setcap and addgroup for the maintainer scripts.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "qt6-qpa-plugins, libcap2-bin, adduser")
set(CPACK_STRIP_FILES ON)
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${OKG_PACKAGE_DIR}/postinst ${OKG_PACKAGE_DIR}/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
include(CPack)
