# Run by CPack (External generator) once it has staged the installed files:
# make_release.py builds the archive(s) and SHA256SUMS, and CPack copies what
# it lists into the package directory.
set(out_dir ${CPACK_TOPLEVEL_DIRECTORY}/release)
file(REMOVE_RECURSE ${out_dir})
set(sign_options "")
if(CPACK_VORN_SIGN_PKCS12)
  set(sign_options --sign-pkcs12 ${CPACK_VORN_SIGN_PKCS12}
    --sign-password-file ${CPACK_VORN_SIGN_PASSWORD_FILE} --osslsigncode ${CPACK_VORN_OSSLSIGNCODE})
endif()
# The Debian package, made just before by the DEB generator, is listed too.
if(CPACK_VORN_DEB_FILE)
  list(APPEND sign_options --also ${CPACK_PACKAGE_DIRECTORY}/${CPACK_VORN_DEB_FILE})
endif()
execute_process(
  COMMAND ${CPACK_VORN_PYTHON} ${CPACK_VORN_SOURCE_DIR}/packaging/make_release.py
    --stage ${CPACK_TEMPORARY_DIRECTORY} --name ${CPACK_PACKAGE_FILE_NAME}
    --format ${CPACK_VORN_ARCHIVE_FORMAT} --library ${CPACK_VORN_PLUGIN_FILE}
    --source ${CPACK_VORN_SOURCE_DIR} --out ${out_dir} ${sign_options}
  RESULT_VARIABLE result OUTPUT_VARIABLE made ERROR_VARIABLE errors)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "make_release.py failed:\n${made}${errors}")
endif()
string(STRIP "${made}" made)
string(REPLACE "\n" ";" CPACK_EXTERNAL_BUILT_PACKAGES "${made}")
