# quorvel_public_key_source(KEY_FILE OUTPUT): writes OUTPUT, a source that defines PUBLIC_KEY as
# the bytes of KEY_FILE, after checking the 2048-byte key file form. A relative KEY_FILE is
# taken from the source tree's top.
function(quorvel_public_key_source key_file output)
  get_filename_component(_key_file "${key_file}" ABSOLUTE BASE_DIR "${CMAKE_SOURCE_DIR}")
  if(NOT EXISTS "${_key_file}")
    message(FATAL_ERROR "Public key file '${_key_file}' does not exist")
  endif()
  file(SIZE "${_key_file}" _key_size)
  if(NOT _key_size EQUAL 2048)
    message(FATAL_ERROR "Public key file '${_key_file}' has ${_key_size} bytes; "
                        "a key file is exactly 2048 bytes (DER of the RSA public key, zero filler)")
  endif()
  file(READ "${_key_file}" _key_hex HEX)
  string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," _key_bytes "${_key_hex}")
  configure_file("${CMAKE_SOURCE_DIR}/cmake/publickey.cpp.in" "${output}" @ONLY)
  set_property(DIRECTORY "${CMAKE_SOURCE_DIR}" APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${_key_file}")
endfunction()

get_filename_component(QUORVEL_PUBLIC_KEY_PATH "${QUORVEL_PUBLIC_KEY_FILE}" ABSOLUTE BASE_DIR "${CMAKE_SOURCE_DIR}")
if(QUORVEL_PUBLIC_KEY_PATH STREQUAL "${CMAKE_SOURCE_DIR}/keys/demo_public.key")
  message(WARNING "Building with the DEMO public key from keys/. Anyone can sign product files for "
                  "this build. Releases must set -DQUORVEL_PUBLIC_KEY_FILE to their own key.")
endif()
set(QUORVEL_PUBLIC_KEY_SOURCE "${CMAKE_BINARY_DIR}/generated/publickey.cpp")
quorvel_public_key_source("${QUORVEL_PUBLIC_KEY_PATH}" "${QUORVEL_PUBLIC_KEY_SOURCE}")

# The tests' copy of the library embeds a key pair of the tests' own (tests/keys), so the suite
# signs its product files itself and passes whatever key a release build embeds.
set(QUORVEL_TEST_PUBLIC_KEY_PATH "${CMAKE_SOURCE_DIR}/tests/keys/test_public.key")
set(QUORVEL_TEST_PRIVATE_KEY_PATH "${CMAKE_SOURCE_DIR}/tests/keys/test_private.key")
set(QUORVEL_TEST_PUBLIC_KEY_SOURCE "${CMAKE_BINARY_DIR}/generated/publickey_test.cpp")
quorvel_public_key_source("${QUORVEL_TEST_PUBLIC_KEY_PATH}" "${QUORVEL_TEST_PUBLIC_KEY_SOURCE}")
