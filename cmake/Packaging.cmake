# What "cmake --install" puts where, and the two Debian packages
# "cpack -G DEB" makes of it, one per component:
#   registro  the dialog, its desktop entry, icons and manual page
#   regnick   the registration service, its systemd units and manual page
# Each package also carries the copyright file and the changelog that Debian
# asks for in /usr/share/doc/<package>.
include(GNUInstallDirs)

find_program(PARLONDA_HELP2MAN help2man REQUIRED)
find_program(PARLONDA_GZIP gzip REQUIRED)

# systemd reads units from /usr/lib/systemd/system as from /lib/systemd/system
# (one folder on Debian 12, whose /lib is a link to /usr/lib); relative to the
# prefix, so that "cmake --install --prefix" stays inside its prefix.
set(PARLONDA_SYSTEMD_UNIT_DIR "lib/systemd/system"
    CACHE STRING "Where the service's systemd units go, relative to the install prefix")

set(packaging ${PROJECT_BINARY_DIR}/packaging)
set(regnick_man ${packaging}/parlonda-regnick.8)
set(regnick_conf ${packaging}/regnick.conf)
set(registro_man ${packaging}/parlonda-registro.1)

# The service's manual page is its --help, which help2man lays out; the
# number of hash workers it prints is this machine's, not the reader's.
add_custom_command(
    OUTPUT ${regnick_man}.gz
    COMMAND ${PARLONDA_HELP2MAN} --no-info --section=8 --version-string=${PROJECT_VERSION}
            "--name=registration service for the Parlonda chat service"
            --output=${regnick_man} $<TARGET_FILE:parlonda-regnick>
    COMMAND sed -i -e "s/, here [0-9][0-9]*)/)/" ${regnick_man}
    COMMAND ${PARLONDA_GZIP} -9nf ${regnick_man}
    DEPENDS parlonda-regnick
    COMMENT "Writing the manual page of parlonda-regnick with help2man"
    VERBATIM)
# The packaged configuration file is what the program prints for the
# options the packaged unit needs (the accounts in the state folder, the
# TLS pair that the unit copies into the runtime folder, four hash workers
# to fit MemoryMax=), every other option commented out with its default:
# made from the option table, it cannot miss one.
add_custom_command(
    OUTPUT ${regnick_conf}
    COMMAND $<TARGET_FILE:parlonda-regnick> --print-config
            --db /var/lib/parlonda-regnick/regnick.db
            --tls-cert /run/parlonda-regnick/cert.pem --tls-key /run/parlonda-regnick/key.pem
            --hash-workers 4 > ${regnick_conf}
    DEPENDS parlonda-regnick
    COMMENT "Writing the packaged regnick.conf"
    VERBATIM)
# The dialog has no command line to read it from: its page is written by hand.
configure_file(${PROJECT_SOURCE_DIR}/app/parlonda-registro.1.in ${registro_man} @ONLY)
add_custom_command(
    OUTPUT ${registro_man}.gz
    COMMAND ${PARLONDA_GZIP} -9nkf ${registro_man}
    DEPENDS ${registro_man}
    VERBATIM)

set(package_docs ${regnick_man}.gz ${registro_man}.gz ${regnick_conf})
foreach(component registro regnick)
  set(PARLONDA_DEB_PACKAGE parlonda-${component})
  if(component STREQUAL "registro")
    set(PARLONDA_DEB_CHANGE "First packaged release: the sign-up dialog, its desktop\n    entry, icons and manual page.")
  else()
    set(PARLONDA_DEB_CHANGE "First packaged release: the registration service apart from\n    the dialog, with its systemd units and manual page.")
  endif()
  set(changelog ${packaging}/${PARLONDA_DEB_PACKAGE}/changelog)
  configure_file(${PROJECT_SOURCE_DIR}/cmake/debian/changelog.in ${changelog} @ONLY)
  add_custom_command(
      OUTPUT ${changelog}.gz
      COMMAND ${PARLONDA_GZIP} -9nkf ${changelog}
      DEPENDS ${changelog}
      VERBATIM)
  list(APPEND package_docs ${changelog}.gz)
  install(FILES ${PROJECT_SOURCE_DIR}/cmake/debian/copyright ${changelog}.gz
          DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/${PARLONDA_DEB_PACKAGE} COMPONENT ${component})
endforeach()
add_custom_target(parlonda_package_docs ALL DEPENDS ${package_docs})

install(TARGETS parlonda-registro RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT registro)
install(FILES ${PROJECT_SOURCE_DIR}/app/parlonda-registro.desktop
        DESTINATION ${CMAKE_INSTALL_DATADIR}/applications COMPONENT registro)
install(DIRECTORY ${PARLONDA_ICON_DIR}/ DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor
        COMPONENT registro)
install(FILES ${registro_man}.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT registro)

install(TARGETS parlonda-regnick RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT regnick)
install(FILES ${PROJECT_SOURCE_DIR}/server/systemd/parlonda-regnick.service
              ${PROJECT_SOURCE_DIR}/server/systemd/parlonda-regnick.socket
        DESTINATION ${PARLONDA_SYSTEMD_UNIT_DIR} COMPONENT regnick)
install(FILES ${regnick_man}.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man8 COMPONENT regnick)
# /etc beside the prefix: /etc for the package's /usr, and inside a prefix
# that "cmake --install --prefix" is given. A conffile: dpkg keeps the
# operator's changes across upgrades.
install(FILES ${regnick_conf} DESTINATION ../etc/parlonda-regnick COMPONENT regnick)
file(WRITE ${packaging}/conffiles "/etc/parlonda-regnick/regnick.conf\n")
set(CPACK_DEBIAN_REGNICK_PACKAGE_CONTROL_EXTRA ${packaging}/conffiles)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)

set(CPACK_PACKAGE_NAME parlonda-registro)
set(CPACK_PACKAGE_VENDOR "Parlonda")
set(CPACK_PACKAGE_CONTACT "Parlonda <registro@parlonda.invalid>")
set(CPACK_PACKAGE_INSTALL_DIRECTORY parlonda-registro)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL registro regnick)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "https://parlonda.invalid/registro")
# Shared libraries are found by dpkg-shlibdeps.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)

# The first line is the package's synopsis; the rest, its description.
set(CPACK_DEBIAN_REGISTRO_PACKAGE_NAME parlonda-registro)
set(CPACK_DEBIAN_REGISTRO_PACKAGE_SECTION net)
set(CPACK_COMPONENT_REGISTRO_DESCRIPTION "sign-up dialog for the Parlonda chat service
A Spanish dialog that registers a nick on the Parlonda chat service: the
person chooses a nick, gives their names, e-mail address, telephone, city,
country and a password, and gets the profile Parlonda.ini on success.")
# Qt loads its TLS backend (libssl3) and reads its Spanish texts at run time,
# which no scan can see. On a Wayland desktop the dialog runs natively with
# Qt's Wayland plugin, and otherwise through XWayland.
set(CPACK_DEBIAN_REGISTRO_PACKAGE_DEPENDS "libssl3, qt6-translations-l10n")
set(CPACK_DEBIAN_REGISTRO_PACKAGE_RECOMMENDS "qt6-wayland, fonts-liberation2")

set(CPACK_DEBIAN_REGNICK_PACKAGE_NAME parlonda-regnick)
set(CPACK_DEBIAN_REGNICK_PACKAGE_SECTION net)
set(CPACK_COMPONENT_REGNICK_DESCRIPTION "registration service for the Parlonda chat service
The HTTPS service behind the Parlonda sign-up dialog: it checks each
sign-up, keeps the accounts (passwords only as Argon2id hashes) in an
SQLite file or a PostgreSQL database, and bounds what each client may
take. It comes with systemd units that start it on port 443 with no
privileges, a dynamic user and its state in /var/lib/parlonda-regnick.")
include(CPack)
