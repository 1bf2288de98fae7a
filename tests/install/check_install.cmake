# Installs the build into a fresh prefix, as "cmake --install" does for a
# packager, and checks what lands there; then builds the Debian package.
#   cmake -DBUILD_DIR=<build> -DWORK_DIR=<scratch> -P check_install.cmake
cmake_minimum_required(VERSION 3.25)

file(REMOVE_RECURSE "${WORK_DIR}")
set(prefix "${WORK_DIR}/prefix")
execute_process(COMMAND ${CMAKE_COMMAND} --install "${BUILD_DIR}" --prefix "${prefix}"
                RESULT_VARIABLE result OUTPUT_QUIET)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "cmake --install failed: ${result}")
endif()

set(expected
    bin/parlonda-registro
    bin/parlonda-regnick
    share/applications/parlonda-registro.desktop
    share/icons/hicolor/16x16/apps/parlonda-registro.png
    share/icons/hicolor/32x32/apps/parlonda-registro.png
    share/icons/hicolor/scalable/apps/parlonda-registro.svg)
foreach(path IN LISTS expected)
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

execute_process(COMMAND cpack -G DEB -B "${WORK_DIR}/package" --config "${BUILD_DIR}/CPackConfig.cmake"
                RESULT_VARIABLE result OUTPUT_VARIABLE log ERROR_VARIABLE log)
file(GLOB package "${WORK_DIR}/package/*.deb")
if(NOT result EQUAL 0 OR NOT package)
  message(FATAL_ERROR "cpack -G DEB failed: ${log}")
endif()
execute_process(COMMAND dpkg-deb --field "${package}" Package Depends Section
                OUTPUT_VARIABLE fields)
execute_process(COMMAND dpkg-deb --contents "${package}" OUTPUT_VARIABLE contents)
foreach(needle "Package: parlonda-registro" "libqt6widgets6" "qt6-translations-l10n"
               "Section: net")
  string(FIND "${fields}" "${needle}" at)
  if(at LESS 0)
    message(FATAL_ERROR "the package's control lacks \"${needle}\":\n${fields}")
  endif()
endforeach()
foreach(path IN LISTS expected)
  string(FIND "${contents}" "./usr/${path}" at)
  if(at LESS 0)
    message(FATAL_ERROR "the package lacks /usr/${path}")
  endif()
endforeach()
file(REMOVE_RECURSE "${WORK_DIR}")
