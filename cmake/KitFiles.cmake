# CPack runs this on the zip's staged files (CPACK_PRE_BUILD_SCRIPTS, cmake/PackageWindows.cmake).
#
# Signing: with ZV_SIGN_KEY and ZV_SIGN_CERT (PEM files: the private key and the
# certificate with its chain) in the environment, the files of CPACK_ZV_SIGNED_FILES are
# signed with Authenticode by osslsigncode, SHA-256, and time-stamped by the RFC 3161
# server at ZV_SIGN_TIMESTAMP_URL when it is set; ZV_SIGN_PASSWORD_FILE holds the key's
# passphrase, if it has one. Without a key nothing is signed; a key without its
# certificate (or the reverse) is an error, not an unsigned kit.
#
# Times: every entry of the zip carries CPACK_ZV_SOURCE_DATE_EPOCH, so that two builds of
# one commit give the same zip.
set(stage ${CPACK_TEMPORARY_DIRECTORY})

set(key "$ENV{ZV_SIGN_KEY}")
set(certificate "$ENV{ZV_SIGN_CERT}")
if(key OR certificate)
  if(NOT key OR NOT certificate)
    message(FATAL_ERROR "Signing needs both ZV_SIGN_KEY and ZV_SIGN_CERT")
  endif()
  find_program(osslsigncode osslsigncode REQUIRED)
  set(options -h sha256 -n "ZVPA_LORVANI_10" -certs "${certificate}" -key "${key}")
  if(DEFINED ENV{ZV_SIGN_PASSWORD_FILE})
    list(APPEND options -readpass "$ENV{ZV_SIGN_PASSWORD_FILE}")
  endif()
  if(NOT "$ENV{ZV_SIGN_TIMESTAMP_URL}" STREQUAL "")
    list(APPEND options -ts "$ENV{ZV_SIGN_TIMESTAMP_URL}")
  endif()
  foreach(name IN LISTS CPACK_ZV_SIGNED_FILES)
    file(GLOB_RECURSE found "${stage}/*/${name}" "${stage}/${name}")
    if(NOT found)
      message(FATAL_ERROR "${name} is not among the kit's files")
    endif()
    foreach(file IN LISTS found)
      execute_process(COMMAND ${osslsigncode} sign ${options} -in "${file}" -out "${file}.signed"
                      RESULT_VARIABLE result OUTPUT_VARIABLE output ERROR_VARIABLE output)
      if(NOT result EQUAL 0)
        file(REMOVE "${file}.signed")
        message(FATAL_ERROR "osslsigncode could not sign ${name}: ${output}")
      endif()
      file(RENAME "${file}.signed" "${file}")
      message(STATUS "Signed ${name}")
    endforeach()
  endforeach()
endif()

file(GLOB_RECURSE entries LIST_DIRECTORIES true "${stage}/*")
if(entries)
  execute_process(COMMAND touch -h -d "@${CPACK_ZV_SOURCE_DATE_EPOCH}" ${entries} "${stage}" COMMAND_ERROR_IS_FATAL ANY)
endif()
