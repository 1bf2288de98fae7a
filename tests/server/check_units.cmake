# The service's systemd units as systemd itself reads them: "systemd-analyze
# verify" accepts both without a word, and "systemd-analyze security" rates
# the service's confinement 1.5 or better (lower is better). The drop-ins
# that docs/service.md shows (docs/examples/UNIT.d/) are applied to the units
# for the check, and the page must show each as it is.
#   cmake -DUNIT_DIR=<server/systemd> -DEXAMPLES_DIR=<docs/examples>
#         -DPROGRAM=<built parlonda-regnick> -DWORK_DIR=<scratch> -P check_units.cmake
cmake_minimum_required(VERSION 3.25)

find_program(analyze systemd-analyze)
if(NOT analyze)
  message("SKIPPED: systemd-analyze is not installed")
  return()
endif()

# verify wants the program the unit starts: a copy of the units starts the
# one just built instead of /usr/bin/parlonda-regnick. Manual pages are
# checked by the package test.
file(REMOVE_RECURSE "${WORK_DIR}")
file(MAKE_DIRECTORY "${WORK_DIR}")
foreach(unit parlonda-regnick.service parlonda-regnick.socket)
  file(READ "${UNIT_DIR}/${unit}" text)
  string(REPLACE "/usr/bin/parlonda-regnick" "${PROGRAM}" text "${text}")
  file(WRITE "${WORK_DIR}/${unit}" "${text}")
  file(GLOB dropins "${EXAMPLES_DIR}/${unit}.d/*.conf")
  foreach(dropin ${dropins})
    file(COPY "${dropin}" DESTINATION "${WORK_DIR}/${unit}.d")
    # The page may indent a drop-in inside a list: compared line by line.
    file(STRINGS "${dropin}" lines)
    file(READ "${EXAMPLES_DIR}/../service.md" page)
    foreach(line ${lines})
      string(FIND "${page}" "${line}\n" at)
      if(at EQUAL -1)
        message(FATAL_ERROR "docs/service.md does not show ${dropin} as it is: ${line}")
      endif()
    endforeach()
  endforeach()
endforeach()
execute_process(COMMAND ${analyze} verify --man=no "${WORK_DIR}/parlonda-regnick.service"
                        "${WORK_DIR}/parlonda-regnick.socket"
                RESULT_VARIABLE result OUTPUT_VARIABLE said ERROR_VARIABLE said)
if(NOT result EQUAL 0 OR NOT said STREQUAL "")
  message(FATAL_ERROR "systemd-analyze verify: ${result}\n${said}")
endif()

# The threshold counts tenths.
execute_process(COMMAND ${analyze} security --offline=yes --threshold=15
                        "${UNIT_DIR}/parlonda-regnick.service"
                RESULT_VARIABLE result OUTPUT_VARIABLE rating ERROR_VARIABLE rating)
string(REGEX MATCH "Overall exposure level for [^\n]*" overall "${rating}")
message("${overall}")
if(NOT result EQUAL 0 OR NOT overall)
  message(FATAL_ERROR "systemd-analyze security: ${result}\n${rating}")
endif()
file(REMOVE_RECURSE "${WORK_DIR}")
