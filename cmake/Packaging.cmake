# Release packages, made with CPack from a configured and built tree:
#
#   cmake --build --preset windows --target package
#       -> build/windows/VORN_Davida_Client-<version>-win64.zip
#   cmake --build <linux tree> --target package
#       -> VORN_Davida_Client-<version>-linux64.tar.gz
#
# Each holds the plug-in, a commented settings file to fill in and the player's
# guide, in one folder named like the package. The version is the project's.
# Only these three files are installed: the tools and tests install nothing.

if(WIN32)
  set(VORN_PACKAGE_SYSTEM win64)
  set(VORN_PLUGIN_FOLDER "bin/win_x64/plugins")
  # Players open these with Notepad.
  set(VORN_PACKAGE_NEWLINES CRLF)
  set(CPACK_GENERATOR ZIP)
else()
  set(VORN_PACKAGE_SYSTEM linux64)
  set(VORN_PLUGIN_FOLDER "bin/linux_x64/plugins")
  set(VORN_PACKAGE_NEWLINES UNIX)
  set(CPACK_GENERATOR TGZ)
endif()
set(VORN_PLUGIN_FILE "VORN_Davida_Client${CMAKE_SHARED_LIBRARY_SUFFIX}")

set(VORN_PACKAGING_DIR ${CMAKE_BINARY_DIR}/packaging)
configure_file(${CMAKE_SOURCE_DIR}/packaging/VORN_Davida_Client.ini.in
  ${VORN_PACKAGING_DIR}/VORN_Davida_Client.ini @ONLY NEWLINE_STYLE ${VORN_PACKAGE_NEWLINES})
configure_file(${CMAKE_SOURCE_DIR}/packaging/PLAYERS_GUIDE.txt.in
  ${VORN_PACKAGING_DIR}/PLAYERS_GUIDE.txt @ONLY NEWLINE_STYLE ${VORN_PACKAGE_NEWLINES})

# The import library of the Windows build is of no use to a player.
install(TARGETS VORN_Davida_Client
  RUNTIME DESTINATION .
  LIBRARY DESTINATION .
  ARCHIVE DESTINATION lib EXCLUDE_FROM_ALL)
install(FILES ${VORN_PACKAGING_DIR}/VORN_Davida_Client.ini ${VORN_PACKAGING_DIR}/PLAYERS_GUIDE.txt
  DESTINATION .)

set(CPACK_PACKAGE_NAME VORN_Davida_Client)
set(CPACK_PACKAGE_VENDOR "VORN")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "VORN Davida Client telemetry plug-in for American Truck Simulator")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_FILE_NAME "VORN_Davida_Client-${PROJECT_VERSION}-${VORN_PACKAGE_SYSTEM}")
set(CPACK_STRIP_FILES TRUE)
set(CPACK_SOURCE_GENERATOR "")
include(CPack)
