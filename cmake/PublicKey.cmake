# Embeds QUORVEL_PUBLIC_KEY_FILE as a C array, checked for the 2048-byte key file form.
get_filename_component(_key_file "${QUORVEL_PUBLIC_KEY_FILE}" ABSOLUTE)
if(NOT EXISTS "${_key_file}")
  message(FATAL_ERROR "QUORVEL_PUBLIC_KEY_FILE '${_key_file}' does not exist")
endif()
file(SIZE "${_key_file}" _key_size)
if(NOT _key_size EQUAL 2048)
  message(FATAL_ERROR "QUORVEL_PUBLIC_KEY_FILE '${_key_file}' has ${_key_size} bytes; "
                      "a key file is exactly 2048 bytes (DER of the RSA public key, zero filler)")
endif()
if(_key_file STREQUAL "${CMAKE_SOURCE_DIR}/keys/demo_public.key")
  message(WARNING "Building with the DEMO public key from keys/. Anyone can sign product files for "
                  "this build. Releases must set -DQUORVEL_PUBLIC_KEY_FILE to their own key.")
endif()
file(READ "${_key_file}" _key_hex HEX)
string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," _key_bytes "${_key_hex}")
set(QUORVEL_PUBLIC_KEY_SOURCE "${CMAKE_BINARY_DIR}/generated/publickey.cpp")
configure_file("${CMAKE_SOURCE_DIR}/cmake/publickey.cpp.in" "${QUORVEL_PUBLIC_KEY_SOURCE}" @ONLY)
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${_key_file}")
