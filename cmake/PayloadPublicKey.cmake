# The distributor's payload-sealing key (build option PAYLOAD_PUBLIC_KEY): a
# PEM file holding an ECDSA P-256 public key, as `openssl ec -pubout` or
# `openssl pkey -pubout` writes it. It becomes VORLANE_PAYLOAD_PUBLIC_KEY,
# X then Y as 128 lower-case hex digits (empty without the option), and a
# program built with it takes only payload blocks sealed with the matching
# private key.
set(PAYLOAD_PUBLIC_KEY "" CACHE FILEPATH
    "PEM file with the ECDSA P-256 public key whose seal every payload block must carry; empty: blocks are not sealed")

set(VORLANE_PAYLOAD_PUBLIC_KEY "")
if(PAYLOAD_PUBLIC_KEY)
    if(NOT EXISTS "${PAYLOAD_PUBLIC_KEY}")
        message(FATAL_ERROR "PAYLOAD_PUBLIC_KEY: no such file: ${PAYLOAD_PUBLIC_KEY}")
    endif()
    find_program(VORLANE_OPENSSL_CLI openssl REQUIRED)
    # SubjectPublicKeyInfo in DER: the same 27 bytes before the point for every
    # uncompressed P-256 key (id-ecPublicKey, prime256v1, the bit string, 0x04).
    set(_der "${CMAKE_BINARY_DIR}/payload-public-key.der")
    execute_process(COMMAND "${VORLANE_OPENSSL_CLI}" pkey -pubin -in "${PAYLOAD_PUBLIC_KEY}" -outform DER -out "${_der}"
        RESULT_VARIABLE _result ERROR_VARIABLE _error)
    if(NOT _result EQUAL 0)
        message(FATAL_ERROR "PAYLOAD_PUBLIC_KEY: ${PAYLOAD_PUBLIC_KEY} holds no PEM public key: ${_error}")
    endif()
    file(READ "${_der}" _hex HEX)
    set(_prefix "3059301306072a8648ce3d020106082a8648ce3d03010703420004")
    string(LENGTH "${_hex}" _length)
    string(SUBSTRING "${_hex}" 0 54 _start)
    if(NOT _length EQUAL 182 OR NOT _start STREQUAL _prefix)
        message(FATAL_ERROR "PAYLOAD_PUBLIC_KEY: ${PAYLOAD_PUBLIC_KEY} is no ECDSA P-256 (prime256v1) public key")
    endif()
    string(SUBSTRING "${_hex}" 54 128 VORLANE_PAYLOAD_PUBLIC_KEY)
    set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${PAYLOAD_PUBLIC_KEY}")
    message(STATUS "Payload blocks must be sealed for the key in ${PAYLOAD_PUBLIC_KEY}")
endif()
