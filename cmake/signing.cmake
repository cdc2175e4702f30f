# Throw-away code-signing certificates, made at configure time into the build
# tree, and a helper that signs a target after each link with osslsigncode.
set(IKX_CERT_DIR ${CMAKE_BINARY_DIR}/certs)
file(MAKE_DIRECTORY ${IKX_CERT_DIR})

function(ikx_make_cert name subject)
  set(key ${IKX_CERT_DIR}/${name}.key)
  set(crt ${IKX_CERT_DIR}/${name}.crt)
  if(NOT EXISTS ${crt})
    execute_process(
      COMMAND openssl req -x509 -newkey rsa:2048 -nodes -days 3650 -keyout ${key} -out ${crt}
              -subj "${subject}" -addext "extendedKeyUsage=codeSigning"
      RESULT_VARIABLE rc OUTPUT_QUIET ERROR_QUIET)
    if(NOT rc EQUAL 0)
      message(FATAL_ERROR "openssl could not make the ${name} certificate")
    endif()
  endif()
endfunction()

ikx_make_cert(corvask "/CN=Corvask, Inc./O=Corvask, Inc.")
ikx_make_cert(corvask_upper "/CN=CORVASK, INC./O=Corvask, Inc.")
ikx_make_cert(lookalike "/CN=Corvask, Inc. Labs/O=Lookalike")
ikx_make_cert(other "/CN=Mallory Software Ltd/O=Mallory Software Ltd")

# ikx_sign(target [cert]): signs the target's file in place after the link.
function(ikx_sign target)
  set(cert corvask)
  if(ARGC GREATER 1)
    set(cert ${ARGV1})
  endif()
  add_custom_command(TARGET ${target} POST_BUILD
    COMMAND ${CMAKE_COMMAND} -E rm -f $<TARGET_FILE:${target}>.signed
    COMMAND osslsigncode sign -certs ${IKX_CERT_DIR}/${cert}.crt -key ${IKX_CERT_DIR}/${cert}.key
            -in $<TARGET_FILE:${target}> -out $<TARGET_FILE:${target}>.signed > /dev/null
    COMMAND ${CMAKE_COMMAND} -E rename $<TARGET_FILE:${target}>.signed $<TARGET_FILE:${target}>
    VERBATIM)
endfunction()

# ikx_signed_copy(target cert suffix): a differently signed copy of a target,
# written beside it as <name>.<suffix><ext>.
function(ikx_signed_copy target cert suffix)
  set(copy $<TARGET_FILE_DIR:${target}>/$<TARGET_FILE_BASE_NAME:${target}>.${suffix}$<TARGET_FILE_SUFFIX:${target}>)
  add_custom_command(TARGET ${target} POST_BUILD
    COMMAND ${CMAKE_COMMAND} -E rm -f ${copy}
    COMMAND osslsigncode sign -certs ${IKX_CERT_DIR}/${cert}.crt -key ${IKX_CERT_DIR}/${cert}.key
            -in $<TARGET_FILE:${target}> -out $<TARGET_FILE_DIR:${target}>/$<TARGET_FILE_BASE_NAME:${target}>.${suffix}$<TARGET_FILE_SUFFIX:${target}> > /dev/null
    VERBATIM)
endfunction()
