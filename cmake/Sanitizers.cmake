# Instrumented builds, each configured in a build directory of its own (scripts/check-sanitized.sh):
#   QUORVEL_SANITIZE  AddressSanitizer and UndefinedBehaviorSanitizer on everything, tests included.
#   QUORVEL_FUZZ      the same, plus libFuzzer coverage and the fuzz targets of tests/fuzz; clang only.
option(QUORVEL_SANITIZE "Build everything with AddressSanitizer and UndefinedBehaviorSanitizer" OFF)
option(QUORVEL_FUZZ "Build the libFuzzer targets of tests/fuzz (needs clang)" OFF)
set(QUORVEL_FUZZ_SECONDS 15 CACHE STRING "How long each fuzz target runs as a test")

if(QUORVEL_SANITIZE OR QUORVEL_FUZZ)
  # Any finding ends the process, so a test cannot pass over it.
  add_compile_options(-fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer)
  add_link_options(-fsanitize=address,undefined)
endif()

if(QUORVEL_FUZZ)
  if(NOT CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
    message(FATAL_ERROR "QUORVEL_FUZZ needs clang and libclang-rt-14-dev: configure with CC=clang CXX=clang++")
  endif()
  add_compile_options(-fsanitize=fuzzer-no-link)
  add_subdirectory(tests/fuzz)
endif()
