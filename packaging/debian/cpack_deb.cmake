# Read by cpack before each generator: the Debian package (DEB) holds the
# collector service, the release archive (External) the plug-in. Both take the
# commit's time, as make_release.py does, unless SOURCE_DATE_EPOCH is set.
if(CPACK_GENERATOR STREQUAL "DEB")
  set(CPACK_INSTALL_CMAKE_PROJECTS "${CPACK_VORN_DEB_PROJECTS}")
  set(CPACK_PACKAGING_INSTALL_PREFIX /)
  set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "collector service of the VORN Davida telemetry plug-in")
  set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "vorn-collector takes the reports of the VORN Davida Client plug-in for
American Truck Simulator over HTTP(S), checks each one's key and
plausibility, stores them in SQLite or PostgreSQL and ranks the players
on a leaderboard page. The package runs it as a hardened systemd service
listening on the loopback address until its options say otherwise.")
endif()
if(NOT DEFINED ENV{SOURCE_DATE_EPOCH})
  execute_process(COMMAND git -C ${CPACK_VORN_SOURCE_DIR} log -1 --format=%ct
    OUTPUT_VARIABLE epoch OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET RESULT_VARIABLE failed)
  if(NOT failed AND epoch)
    set(ENV{SOURCE_DATE_EPOCH} ${epoch})
  endif()
endif()
