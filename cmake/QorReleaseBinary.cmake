# Install-time steps of a shipped program (included by the install rules of QorPackaging.cmake, which
# set QOR_OBJCOPY and QOR_IS_WINDOWS).
#
# Signing, Windows only, when QOR_SIGN_CERT is set in the environment of `cmake --install` or `cpack`:
#   QOR_SIGN_CERT            the certificate file (PEM or DER), with its chain
#   QOR_SIGN_KEY             the private key file; with a token, the key's PKCS#11 URI or id
#   QOR_SIGN_PKCS11_MODULE   the token's PKCS#11 module (for example opensc-pkcs11.so); unset: a key file
#   QOR_SIGN_PKCS11_ENGINE   the OpenSSL engine for it, when osslsigncode does not find it by itself
#   QOR_SIGN_PASSWORD_FILE   a file holding the key's password or the token's PIN
#   QOR_SIGN_TIMESTAMP_URL   an RFC 3161 time-stamping server, so the signature outlives the certificate

function(qor_run)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE result OUTPUT_VARIABLE output ERROR_VARIABLE output)
  if(NOT result EQUAL 0)
    list(JOIN ARGN " " command)
    message(FATAL_ERROR "${command}\nfailed (${result}):\n${output}")
  endif()
endfunction()

function(qor_sign_windows file description)
  if("$ENV{QOR_SIGN_CERT}" STREQUAL "")
    message(STATUS "Not signed (QOR_SIGN_CERT is not set): ${file}")
    return()
  endif()
  if("$ENV{QOR_SIGN_KEY}" STREQUAL "")
    message(FATAL_ERROR "QOR_SIGN_CERT is set but QOR_SIGN_KEY is not: name the key file or the token's key")
  endif()
  find_program(_qor_osslsigncode osslsigncode)
  if(NOT _qor_osslsigncode)
    message(FATAL_ERROR "osslsigncode is missing (scripts/install-deps.sh package installs it)")
  endif()
  set(arguments sign -h sha256 -n "${description}" -certs "$ENV{QOR_SIGN_CERT}" -key "$ENV{QOR_SIGN_KEY}")
  if(NOT "$ENV{QOR_SIGN_PKCS11_MODULE}" STREQUAL "")
    list(APPEND arguments -pkcs11module "$ENV{QOR_SIGN_PKCS11_MODULE}")
  endif()
  if(NOT "$ENV{QOR_SIGN_PKCS11_ENGINE}" STREQUAL "")
    list(APPEND arguments -pkcs11engine "$ENV{QOR_SIGN_PKCS11_ENGINE}")
  endif()
  if(NOT "$ENV{QOR_SIGN_PASSWORD_FILE}" STREQUAL "")
    list(APPEND arguments -readpass "$ENV{QOR_SIGN_PASSWORD_FILE}")
  endif()
  if(NOT "$ENV{QOR_SIGN_TIMESTAMP_URL}" STREQUAL "")
    list(APPEND arguments -ts "$ENV{QOR_SIGN_TIMESTAMP_URL}")
  endif()
  file(REMOVE "${file}.signed")
  qor_run("${_qor_osslsigncode}" ${arguments} -in "${file}" -out "${file}.signed")
  file(RENAME "${file}.signed" "${file}")
  file(CHMOD "${file}" PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ
                                   WORLD_EXECUTE)
  message(STATUS "Signed: ${file}")
endfunction()

# Strips the program and keeps its debug information beside it as <program>.debug, named by the
# program's .gnu_debuglink (with its CRC, so a debugger never pairs it with another build).
function(qor_release_binary file description)
  if(NOT QOR_OBJCOPY)
    # MSVC: no objcopy, and nothing to split (its .pdb files are installed beside the programs).
    if(QOR_IS_WINDOWS)
      qor_sign_windows("${file}" "${description}")
    endif()
    return()
  endif()
  set(debug "${file}.debug")
  file(REMOVE "${debug}")
  qor_run("${QOR_OBJCOPY}" --only-keep-debug "${file}" "${debug}")
  file(CHMOD "${debug}" PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
  qor_run("${QOR_OBJCOPY}" --strip-all "${file}")
  qor_run("${QOR_OBJCOPY}" "--add-gnu-debuglink=${debug}" "${file}")
  if(QOR_IS_WINDOWS)
    qor_sign_windows("${file}" "${description}")
  endif()
endfunction()

# SHA256SUMS at the root: every other file of the tree, in sha256sum's format, sorted by path.
function(qor_write_checksums root)
  file(GLOB_RECURSE files RELATIVE "${root}" "${root}/*")
  list(REMOVE_ITEM files "SHA256SUMS")
  list(SORT files)
  set(text "")
  foreach(path IN LISTS files)
    file(SHA256 "${root}/${path}" hash)
    string(APPEND text "${hash}  ${path}\n")
  endforeach()
  file(WRITE "${root}/SHA256SUMS" "${text}")
endfunction()
