# parlonda_check_server_url(<url>): stops configuring with a clear message
# unless <url> is "http://" or "https://", a host, an optional ":port" and
# nothing else. Plain "http://" is taken only for this machine (localhost,
# 127.0.0.0/8, [::1]), since the password would cross the network
# unencrypted otherwise, unless PARLONDA_ALLOW_PLAIN_HTTP is ON. Also runs as
# a script, for the tests:
#   cmake -DPARLONDA_SERVER_URL=<url> [-DPARLONDA_ALLOW_PLAIN_HTTP=ON] -P cmake/CheckServerUrl.cmake
function(parlonda_check_server_url url)
  set(label "[A-Za-z0-9]([A-Za-z0-9-]*[A-Za-z0-9])?")
  if(NOT url MATCHES "^(https?)://(${label}(\\.${label})*|\\[[0-9A-Fa-f:.]+\\])(:([0-9]+))?$")
    message(FATAL_ERROR
      "PARLONDA_SERVER_URL is \"${url}\", but it must be \"http://\" or "
      "\"https://\", a host, an optional \":port\" and nothing else (no path, "
      "no trailing \"/\"), e.g. https://registro.example.net")
  endif()
  set(scheme "${CMAKE_MATCH_1}")
  set(host "${CMAKE_MATCH_2}")
  set(port "${CMAKE_MATCH_7}")
  if(NOT port STREQUAL "" AND (port LESS 1 OR port GREATER 65535))
    message(FATAL_ERROR
      "PARLONDA_SERVER_URL \"${url}\" has port ${port}; a port is a number from 1 to 65535")
  endif()

  string(TOLOWER "${host}" host)
  set(octet "(25[0-5]|2[0-4][0-9]|1[0-9][0-9]|[1-9]?[0-9])")
  if(scheme STREQUAL "http" AND NOT PARLONDA_ALLOW_PLAIN_HTTP AND
     NOT host MATCHES "^(localhost|127\\.${octet}\\.${octet}\\.${octet}|\\[(0*:)*:?0*1\\])$")
    message(FATAL_ERROR
      "PARLONDA_SERVER_URL \"${url}\" is plain http to another machine: every "
      "user's password would cross the network unencrypted. Use https://, or, "
      "for a network you trust, configure with -DPARLONDA_ALLOW_PLAIN_HTTP=ON")
  endif()
endfunction()

if(CMAKE_SCRIPT_MODE_FILE STREQUAL CMAKE_CURRENT_LIST_FILE)
  parlonda_check_server_url("${PARLONDA_SERVER_URL}")
endif()
