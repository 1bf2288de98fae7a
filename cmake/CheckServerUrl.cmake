# parlonda_check_server_url(<url>): stops configuring with a clear message
# unless <url> is "http://" or "https://", a host, an optional ":port" and
# nothing else. Also runs as a script, for the tests:
#   cmake -DPARLONDA_SERVER_URL=<url> -P cmake/CheckServerUrl.cmake
function(parlonda_check_server_url url)
  set(label "[A-Za-z0-9]([A-Za-z0-9-]*[A-Za-z0-9])?")
  if(NOT url MATCHES "^https?://(${label}(\\.${label})*|\\[[0-9A-Fa-f:.]+\\])(:([0-9]+))?$")
    message(FATAL_ERROR
      "PARLONDA_SERVER_URL is \"${url}\", but it must be \"http://\" or "
      "\"https://\", a host, an optional \":port\" and nothing else (no path, "
      "no trailing \"/\"), e.g. http://127.0.0.1:8080")
  endif()
  set(port "${CMAKE_MATCH_6}")
  if(NOT port STREQUAL "" AND (port LESS 1 OR port GREATER 65535))
    message(FATAL_ERROR
      "PARLONDA_SERVER_URL \"${url}\" has port ${port}; a port is a number from 1 to 65535")
  endif()
endfunction()

if(CMAKE_SCRIPT_MODE_FILE STREQUAL CMAKE_CURRENT_LIST_FILE)
  parlonda_check_server_url("${PARLONDA_SERVER_URL}")
endif()
