# Deployment data of one build: the five known servers, the two game-server
# addresses and the default collector host. They are fixed when the build is
# configured and compiled into the plug-in; a malformed value stops the
# configuration with a message naming the option.

set(VORN_KNOWN_SERVERS
    "90071992547409921/101;90112233445566772/101;90223344556677883/101;90334455667788994/101;90445566778899005/101"
    CACHE STRING "The five known server identifiers (17 digits then /101), separated by ;")
set(VORN_ENDPOINT_ADDRESS_A "192.0.2.10" CACHE STRING "Dotted IPv4 address of the game servers 1 and 2")
set(VORN_ENDPOINT_ADDRESS_B "198.51.100.20" CACHE STRING "Dotted IPv4 address of the game server 5")
set(VORN_DEFAULT_COLLECTOR_HOST "127.0.0.1" CACHE STRING "Host of the built-in collector URL")

function(vorn_fail option what)
  message(FATAL_ERROR "${option}: ${what}")
endfunction()

# Converts a dotted IPv4 address into the number Steam reports for it
# (first octet in the most significant byte).
function(vorn_ipv4_to_number option text out_var)
  if(NOT text MATCHES "^([0-9]+)\\.([0-9]+)\\.([0-9]+)\\.([0-9]+)$")
    vorn_fail(${option} "'${text}' is not a dotted IPv4 address (four numbers 0 to 255 separated by dots)")
  endif()
  set(octets "${CMAKE_MATCH_1};${CMAKE_MATCH_2};${CMAKE_MATCH_3};${CMAKE_MATCH_4}")
  set(number 0)
  foreach(octet IN LISTS octets)
    if(octet GREATER 255 OR (octet MATCHES "^0[0-9]"))
      vorn_fail(${option} "'${text}' is not a dotted IPv4 address (octet '${octet}' is not 0 to 255 without leading zeros)")
    endif()
    math(EXPR number "${number} * 256 + ${octet}")
  endforeach()
  math(EXPR number "${number}" OUTPUT_FORMAT HEXADECIMAL)
  set(${out_var} "${number}" PARENT_SCOPE)
endfunction()

set(_vorn_servers "${VORN_KNOWN_SERVERS}")
list(LENGTH _vorn_servers _vorn_count)
if(NOT _vorn_count EQUAL 5)
  vorn_fail(VORN_KNOWN_SERVERS "expected five identifiers separated by ';', got ${_vorn_count}")
endif()
set(_vorn_seen "")
set(VORN_KNOWN_SERVERS_INIT "")
foreach(_vorn_id IN LISTS _vorn_servers)
  if(NOT _vorn_id MATCHES "^[0-9][0-9][0-9][0-9][0-9][0-9][0-9][0-9][0-9][0-9][0-9][0-9][0-9][0-9][0-9][0-9][0-9]/101$")
    vorn_fail(VORN_KNOWN_SERVERS "'${_vorn_id}' is not a server identifier (17 decimal digits followed by /101)")
  endif()
  if(_vorn_id IN_LIST _vorn_seen)
    vorn_fail(VORN_KNOWN_SERVERS "'${_vorn_id}' is listed twice")
  endif()
  list(APPEND _vorn_seen "${_vorn_id}")
  string(APPEND VORN_KNOWN_SERVERS_INIT "\"${_vorn_id}\", ")
endforeach()

vorn_ipv4_to_number(VORN_ENDPOINT_ADDRESS_A "${VORN_ENDPOINT_ADDRESS_A}" VORN_ENDPOINT_ADDRESS_A_NUMBER)
vorn_ipv4_to_number(VORN_ENDPOINT_ADDRESS_B "${VORN_ENDPOINT_ADDRESS_B}" VORN_ENDPOINT_ADDRESS_B_NUMBER)
if(VORN_ENDPOINT_ADDRESS_A_NUMBER EQUAL VORN_ENDPOINT_ADDRESS_B_NUMBER)
  vorn_fail(VORN_ENDPOINT_ADDRESS_B "must differ from VORN_ENDPOINT_ADDRESS_A")
endif()

if(NOT VORN_DEFAULT_COLLECTOR_HOST MATCHES "^[A-Za-z0-9]([A-Za-z0-9.-]*[A-Za-z0-9])?$")
  vorn_fail(VORN_DEFAULT_COLLECTOR_HOST "'${VORN_DEFAULT_COLLECTOR_HOST}' is not a host name or IPv4 address")
endif()
set(VORN_DEFAULT_COLLECTOR_URL "http://${VORN_DEFAULT_COLLECTOR_HOST}:8787/api/v1/telemetry")

configure_file(${CMAKE_CURRENT_LIST_DIR}/deployment.h.in ${CMAKE_BINARY_DIR}/generated/vorn_deployment.h @ONLY)
