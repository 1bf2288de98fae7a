# What "cmake --install" puts where, and the Debian package "cpack -G DEB"
# makes of it: the dialog, the stand-in service, the desktop entry and the
# icon.
include(GNUInstallDirs)

install(TARGETS parlonda-registro parlonda-regnick RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES ${PROJECT_SOURCE_DIR}/app/parlonda-registro.desktop
        DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
install(DIRECTORY ${PARLONDA_ICON_DIR}/ DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor)

set(CPACK_PACKAGE_NAME parlonda-registro)
set(CPACK_PACKAGE_VENDOR "Parlonda")
set(CPACK_PACKAGE_CONTACT "Parlonda <registro@parlonda.invalid>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Sign-up dialog for the Parlonda chat service")
set(CPACK_PACKAGE_DESCRIPTION "A Spanish dialog that registers a nick on the Parlonda chat \
service, with parlonda-regnick, a stand-in registration service for trying it on one machine.")
set(CPACK_PACKAGE_INSTALL_DIRECTORY parlonda-registro)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "https://parlonda.invalid/registro")
# Shared libraries are found by dpkg-shlibdeps. Qt loads its TLS backend
# (libssl3) and reads its Spanish texts at run time, which no scan can see.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "libssl3, qt6-translations-l10n")
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "fonts-liberation2")
include(CPack)
