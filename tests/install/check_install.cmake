# Installs the build into a fresh prefix, as "cmake --install" does for a
# packager, and checks what lands there; then builds the two Debian packages
# and checks each, lintian included.
#   cmake -DBUILD_DIR=<build> -DWORK_DIR=<scratch> -P check_install.cmake
cmake_minimum_required(VERSION 3.25)

file(REMOVE_RECURSE "${WORK_DIR}")
set(prefix "${WORK_DIR}/prefix")
execute_process(COMMAND ${CMAKE_COMMAND} --install "${BUILD_DIR}" --prefix "${prefix}"
                RESULT_VARIABLE result OUTPUT_QUIET)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "cmake --install failed: ${result}")
endif()

# What each package holds, below /usr.
set(registro_files
    bin/parlonda-registro
    share/applications/parlonda-registro.desktop
    share/icons/hicolor/16x16/apps/parlonda-registro.png
    share/icons/hicolor/32x32/apps/parlonda-registro.png
    share/icons/hicolor/scalable/apps/parlonda-registro.svg
    share/man/man1/parlonda-registro.1.gz
    share/doc/parlonda-registro/copyright
    share/doc/parlonda-registro/changelog.gz)
set(regnick_files
    bin/parlonda-regnick
    lib/systemd/system/parlonda-regnick.service
    lib/systemd/system/parlonda-regnick.socket
    share/man/man8/parlonda-regnick.8.gz
    share/doc/parlonda-regnick/copyright
    share/doc/parlonda-regnick/changelog.gz)
foreach(path IN LISTS registro_files regnick_files)
  if(NOT EXISTS "${prefix}/${path}")
    message(FATAL_ERROR "not installed: ${path}")
  endif()
endforeach()
foreach(program parlonda-registro parlonda-regnick)
  file(GET_RUNTIME_DEPENDENCIES EXECUTABLES "${prefix}/bin/${program}"
       UNRESOLVED_DEPENDENCIES_VAR unresolved)
  if(unresolved)
    message(FATAL_ERROR "${program} needs libraries that are not there: ${unresolved}")
  endif()
endforeach()

set(entry "${prefix}/share/applications/parlonda-registro.desktop")
execute_process(COMMAND desktop-file-validate "${entry}"
                RESULT_VARIABLE result OUTPUT_VARIABLE complaints ERROR_VARIABLE complaints)
if(NOT result EQUAL 0 OR NOT complaints STREQUAL "")
  message(FATAL_ERROR "desktop-file-validate: ${result} ${complaints}")
endif()
file(STRINGS "${entry}" lines)
foreach(line "Name=Registro Parlonda" "Comment=Registre su nick en el servicio de chat Parlonda"
             "Exec=parlonda-registro" "Icon=parlonda-registro" "Categories=Network;Chat;")
  if(NOT line IN_LIST lines)
    message(FATAL_ERROR "the desktop entry lacks \"${line}\"")
  endif()
endforeach()

# The service's manual page is its --help: every option is in it.
execute_process(COMMAND gzip -dc "${prefix}/share/man/man8/parlonda-regnick.8.gz"
                OUTPUT_VARIABLE page)
foreach(needle "parlonda-regnick \\- registration service" "\\-\\-tls\\-cert"
               "\\-\\-connection\\-memory")
  string(FIND "${page}" "${needle}" at)
  if(at LESS 0)
    message(FATAL_ERROR "the manual page of parlonda-regnick lacks \"${needle}\":\n${page}")
  endif()
endforeach()

# The configuration file, in /etc beside the prefix, is one the program
# reads back as it wrote it: every line of it is a good option.
set(conf "${prefix}/../etc/parlonda-regnick/regnick.conf")
execute_process(COMMAND "${prefix}/bin/parlonda-regnick" --config "${conf}" --print-config
                RESULT_VARIABLE result OUTPUT_VARIABLE reread ERROR_VARIABLE reread)
file(READ "${conf}" written)
if(NOT result EQUAL 0 OR NOT reread STREQUAL written OR NOT written MATCHES "\ntls-cert /run/")
  message(FATAL_ERROR "regnick.conf does not read back as written: ${result}\n${reread}")
endif()

execute_process(COMMAND cpack -G DEB -B "${WORK_DIR}/package" --config "${BUILD_DIR}/CPackConfig.cmake"
                RESULT_VARIABLE result OUTPUT_VARIABLE log ERROR_VARIABLE log)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "cpack -G DEB failed: ${log}")
endif()

# Package: what its control must say, and what it must not hold.
set(registro_control "Package: parlonda-registro" "Section: net" "libqt6widgets6"
                     "qt6-translations-l10n" "Recommends: qt6-wayland")
set(registro_foreign parlonda-regnick systemd)
set(regnick_etc ./etc/parlonda-regnick/regnick.conf "\n/etc/parlonda-regnick/regnick.conf")
set(regnick_control "Package: parlonda-regnick" "Section: net" "libmicrohttpd12" "libsodium23")
set(regnick_foreign parlonda-registro applications icons libqt6widgets6)
foreach(name registro regnick)
  file(GLOB package "${WORK_DIR}/package/parlonda-${name}_*.deb")
  if(NOT package)
    message(FATAL_ERROR "cpack made no package parlonda-${name}: ${log}")
  endif()
  execute_process(COMMAND dpkg-deb --field "${package}" Package Depends Recommends Section
                  OUTPUT_VARIABLE fields)
  execute_process(COMMAND dpkg-deb --contents "${package}" OUTPUT_VARIABLE contents)
  execute_process(COMMAND dpkg-deb --info "${package}" conffiles OUTPUT_VARIABLE conffiles
                  ERROR_QUIET)
  string(APPEND contents "${conffiles}")
  foreach(needle IN LISTS ${name}_control)
    string(FIND "${fields}" "${needle}" at)
    if(at LESS 0)
      message(FATAL_ERROR "the control of parlonda-${name} lacks \"${needle}\":\n${fields}")
    endif()
  endforeach()
  foreach(path IN LISTS ${name}_files)
    string(FIND "${contents}" "./usr/${path}" at)
    if(at LESS 0)
      message(FATAL_ERROR "parlonda-${name} lacks /usr/${path}")
    endif()
  endforeach()
  foreach(needle IN LISTS ${name}_etc)
    string(FIND "${contents}" "${needle}" at)
    if(at LESS 0)
      message(FATAL_ERROR "parlonda-${name} lacks \"${needle}\" (or it is no conffile)")
    endif()
  endforeach()
  foreach(needle IN LISTS ${name}_foreign)
    string(FIND "${contents}${fields}" "${needle}" at)
    if(NOT at LESS 0)
      message(FATAL_ERROR "parlonda-${name} holds \"${needle}\":\n${fields}\n${contents}")
    endif()
  endforeach()
  list(APPEND packages "${package}")
endforeach()

# Debian's own checker: not one error or warning. It only warns that it runs
# as root, which test machines do. Both packages in one run: its start-up is
# most of its time.
execute_process(COMMAND lintian --fail-on error,warning ${packages}
                RESULT_VARIABLE result OUTPUT_VARIABLE tags ERROR_VARIABLE problems)
string(REGEX REPLACE "[^\n]*running with root privileges is not recommended![^\n]*\n?" ""
                     problems "${problems}")
if(NOT result EQUAL 0 OR tags MATCHES "(^|\n)[EW]: " OR NOT problems STREQUAL "")
  message(FATAL_ERROR "lintian: ${result}\n${tags}${problems}")
endif()
file(REMOVE_RECURSE "${WORK_DIR}")
