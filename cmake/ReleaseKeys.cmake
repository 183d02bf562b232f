# Signed releases. KORVEL_RELEASE_KEYS lists the minisign public keys (the base64 line of a
# minisign .pub file, ';' between keys) whose signatures the program accepts on the catalogue
# and the manifests; empty, the program checks nothing, as it always did. The keys (and the
# lowest catalogue sequence a fresh program accepts) are compiled into each executable through
# a generated source of its own, so one build can make programs with different keys.
set(KORVEL_RELEASE_KEYS "" CACHE STRING "accepted minisign release public keys, ';'-separated")
set(KORVEL_RELEASE_MIN_SEQUENCE "0" CACHE STRING "lowest catalogue sequence a program accepts")

# Compiles target's release keys into it.
function(korvel_release_keys target keys minimum)
  if(NOT keys MATCHES "^[A-Za-z0-9+/=; ]*$")
    message(FATAL_ERROR "KORVEL_RELEASE_KEYS holds more than minisign public keys: ${keys}")
  endif()
  if(NOT minimum MATCHES "^[0-9]+$")
    message(FATAL_ERROR "KORVEL_RELEASE_MIN_SEQUENCE is not a number: ${minimum}")
  endif()
  set(KORVEL_KEYS "${keys}")
  set(KORVEL_MINIMUM "${minimum}")
  set(source "${CMAKE_BINARY_DIR}/release_keys/${target}.cpp")
  configure_file("${CMAKE_SOURCE_DIR}/cmake/release_keys.cpp.in" "${source}" @ONLY)
  target_sources(${target} PRIVATE "${source}")
endfunction()
