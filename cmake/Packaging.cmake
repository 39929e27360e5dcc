# Release packages, made with CPack from a configured and built tree:
#
#   cmake --build --preset windows --target package
#       -> build/windows/VORN_Davida_Client-<version>-win64.zip
#   cmake --build <linux tree> --target package
#       -> VORN_Davida_Client-<version>-linux64.tar.gz
#
# Each holds the plug-in, a commented settings file to fill in and the player's
# guide, in one folder named like the package. The version is the project's.
# Only these three files are installed (component plugin): the tools and tests
# install nothing.
#
# Linux trees also make the Debian package of the collector service,
# vorn-collector_<version>_amd64.deb (CPack's DEB generator, component
# collector, dependencies from dpkg-shlibdeps), first: SHA256SUMS lists it too.
#
# CPack stages the installed files (stripped) and packaging/make_release.py
# turns them into the archive: entries in a fixed order with the commit's time
# and fixed owners and modes, so that two builds of one commit give the same
# bytes. It writes SHA256SUMS beside the archive, listing the archive and the
# library inside it. With VORN_SIGN_PKCS12 and VORN_SIGN_PASSWORD_FILE the
# Windows package also comes signed (<package>-signed.zip), and SHA256SUMS
# lists both the reproducible unsigned files and the signed ones.

if(WIN32)
  set(VORN_PACKAGE_SYSTEM win64)
  set(VORN_PLUGIN_FOLDER "bin/win_x64/plugins")
  # Players open these with Notepad.
  set(VORN_PACKAGE_NEWLINES CRLF)
  set(VORN_ARCHIVE_FORMAT zip)
else()
  set(VORN_PACKAGE_SYSTEM linux64)
  set(VORN_PLUGIN_FOLDER "bin/linux_x64/plugins")
  set(VORN_PACKAGE_NEWLINES UNIX)
  set(VORN_ARCHIVE_FORMAT tgz)
endif()
set(VORN_PLUGIN_FILE "VORN_Davida_Client${CMAKE_SHARED_LIBRARY_SUFFIX}")

set(VORN_PACKAGING_DIR ${CMAKE_BINARY_DIR}/packaging)
include(cmake/PlatformText.cmake)
if(WIN32)
  set(VORN_PACKAGE_PLATFORM windows)
else()
  set(VORN_PACKAGE_PLATFORM linux)
endif()
foreach(text VORN_Davida_Client.ini PLAYERS_GUIDE.txt)
  vorn_platform_text(${CMAKE_SOURCE_DIR}/packaging/${text}.in ${VORN_PACKAGING_DIR}/${text}
    ${VORN_PACKAGE_PLATFORM} ${VORN_PACKAGE_NEWLINES})
endforeach()

# The import library of the Windows build is of no use to a player.
install(TARGETS VORN_Davida_Client
  RUNTIME DESTINATION . COMPONENT plugin
  LIBRARY DESTINATION . COMPONENT plugin
  ARCHIVE DESTINATION lib EXCLUDE_FROM_ALL)
install(FILES ${VORN_PACKAGING_DIR}/VORN_Davida_Client.ini ${VORN_PACKAGING_DIR}/PLAYERS_GUIDE.txt
  DESTINATION . COMPONENT plugin)
find_package(Python3 REQUIRED COMPONENTS Interpreter)

if(TARGET vorn-collector)
  set(VORN_DEB_MAINTAINER "VORN Davida developers <vorn@example.org>" CACHE STRING
    "Maintainer of the collector's Debian package: name <address>")
  set(deb ${CMAKE_SOURCE_DIR}/packaging/debian)
  install(TARGETS vorn-collector RUNTIME DESTINATION usr/bin COMPONENT collector)
  install(FILES ${deb}/vorn-collector.service DESTINATION lib/systemd/system COMPONENT collector)
  # Its webhooks are secrets: the postinst gives the file to the service's group.
  install(FILES ${deb}/vorn-collector.default DESTINATION etc/default RENAME vorn-collector
    PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ COMPONENT collector)
  install(FILES ${deb}/README ${deb}/copyright ${CMAKE_SOURCE_DIR}/docs/operators.md
    ${CMAKE_SOURCE_DIR}/docs/players.md ${CMAKE_SOURCE_DIR}/docs/design.md
    ${CMAKE_SOURCE_DIR}/docs/benchmarks.md ${CMAKE_SOURCE_DIR}/docs/event.png
    ${CMAKE_SOURCE_DIR}/docs/console.png
    DESTINATION usr/share/doc/vorn-collector
    COMPONENT collector)
  # The move of a SQLite database to PostgreSQL under its former name: a
  # wrapper around `vorn-collector copy`.
  install(PROGRAMS ${CMAKE_SOURCE_DIR}/tools/sqlite-to-postgres.sh
    DESTINATION usr/share/vorn-collector COMPONENT collector)
  # The manual page (from every command's --help) and the changelog, dated by the commit.
  install(CODE "execute_process(COMMAND \"${Python3_EXECUTABLE}\" \"${deb}/make_docs.py\"
      --collector \"$<TARGET_FILE:vorn-collector>\" --version ${PROJECT_VERSION}
      --source \"${CMAKE_SOURCE_DIR}\" --maintainer \"${VORN_DEB_MAINTAINER}\"
      --share \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/usr/share\" COMMAND_ERROR_IS_FATAL ANY)"
    COMPONENT collector)

  set(CPACK_GENERATOR DEB External)
  set(CPACK_PROJECT_CONFIG_FILE ${deb}/cpack_deb.cmake)
  set(CPACK_VORN_DEB_PROJECTS "${CMAKE_BINARY_DIR};${PROJECT_NAME};collector;/")
  set(CPACK_VORN_DEB_FILE "vorn-collector_${PROJECT_VERSION}_amd64.deb")
  set(CPACK_DEBIAN_PACKAGE_NAME vorn-collector)
  set(CPACK_DEBIAN_FILE_NAME ${CPACK_VORN_DEB_FILE})
  set(CPACK_DEBIAN_PACKAGE_VERSION ${PROJECT_VERSION})
  set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE amd64)
  set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${VORN_DEB_MAINTAINER}")
  set(CPACK_DEBIAN_PACKAGE_SECTION net)
  set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  set(CPACK_DEBIAN_PACKAGE_DEPENDS adduser)
  set(CPACK_DEBIAN_PACKAGE_SUGGESTS "sqlite3, postgresql-client")
  set(CPACK_DEBIAN_COMPRESSION_TYPE xz)  # gzip would write the packing time into the package
  set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${deb}/postinst ${deb}/prerm ${deb}/postrm ${deb}/conffiles)
  set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION TRUE)
  set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE
    GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
else()
  set(CPACK_GENERATOR External)
endif()

set(VORN_SIGN_PKCS12 "" CACHE FILEPATH
  "Authenticode certificate and key (PKCS#12) that signs the packaged DLL; empty: no signed package")
set(VORN_SIGN_PASSWORD_FILE "" CACHE FILEPATH "File whose first line is the password of VORN_SIGN_PKCS12")
if(VORN_SIGN_PKCS12 OR VORN_SIGN_PASSWORD_FILE)
  if(NOT WIN32)
    message(FATAL_ERROR "VORN_SIGN_PKCS12: only the Windows DLL is signed; configure a windows tree")
  endif()
  foreach(option VORN_SIGN_PKCS12 VORN_SIGN_PASSWORD_FILE)
    if(NOT IS_ABSOLUTE "${${option}}" OR NOT EXISTS "${${option}}")
      message(FATAL_ERROR "${option}: '${${option}}' is not an existing file given by its full path")
    endif()
  endforeach()
  find_program(VORN_OSSLSIGNCODE osslsigncode REQUIRED)
endif()

set(CPACK_EXTERNAL_ENABLE_STAGING TRUE)
set(CPACK_EXTERNAL_REQUESTED_VERSIONS 1.0)
set(CPACK_EXTERNAL_PACKAGE_SCRIPT ${CMAKE_SOURCE_DIR}/packaging/release.cmake)
set(CPACK_INSTALL_CMAKE_PROJECTS "${CMAKE_BINARY_DIR};${PROJECT_NAME};plugin;/")
set(CPACK_VORN_PYTHON ${Python3_EXECUTABLE})
set(CPACK_VORN_SOURCE_DIR ${CMAKE_SOURCE_DIR})
set(CPACK_VORN_ARCHIVE_FORMAT ${VORN_ARCHIVE_FORMAT})
set(CPACK_VORN_PLUGIN_FILE ${VORN_PLUGIN_FILE})
set(CPACK_VORN_SIGN_PKCS12 ${VORN_SIGN_PKCS12})
set(CPACK_VORN_SIGN_PASSWORD_FILE ${VORN_SIGN_PASSWORD_FILE})
set(CPACK_VORN_OSSLSIGNCODE ${VORN_OSSLSIGNCODE})

set(CPACK_PACKAGE_NAME VORN_Davida_Client)
set(CPACK_PACKAGE_VENDOR "VORN")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${VORN_PRODUCT_DESCRIPTION}")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_FILE_NAME "VORN_Davida_Client-${PROJECT_VERSION}-${VORN_PACKAGE_SYSTEM}")
# The Windows linker strips Release DLLs itself (see CMakeLists.txt).
if(NOT WIN32)
  set(CPACK_STRIP_FILES TRUE)
endif()
set(CPACK_SOURCE_GENERATOR "")
include(CPack)
