# Signed releases. KORVEL_RELEASE_KEYS lists the minisign public keys (the base64 line of a
# minisign .pub file, ';' between keys) whose signatures the program accepts on the catalogue
# and the manifests; empty, the program checks nothing, as it always did.
#
# Which keys a program trusts is an input of that executable alone: each executable that links
# the korvel library names its own with korvel_release_keys() below, which compiles them into a
# source of that executable. The library itself defines none, so an executable that names no
# keys does not link, and none can end up with keys that the linker happened to pick.
set(KORVEL_RELEASE_KEYS "" CACHE STRING "accepted minisign release public keys, ';'-separated")
set(KORVEL_RELEASE_MIN_SEQUENCE "" CACHE STRING
  "lowest catalogue sequence a program accepts (required with KORVEL_RELEASE_KEYS)")
# A client installed beside the program (manifest.xml and its library in the program's own
# directory, or a versions.xml there) is started before the data directory's. A build with keys
# leaves those two out unless asked: such files are no signed download, and a browser can drop
# them into the downloads folder next to the installer, where they would run with it.
option(KORVEL_RELEASE_CLIENTS_BESIDE_PROGRAM
  "with release keys: still start a client installed beside the program (see README: a file dropped beside the program runs)"
  OFF)

# A minisign public key is 42 bytes ("Ed", an 8-byte key id, the 32-byte Ed25519 key) in
# base64: 56 characters without padding, and "Ed" makes them begin with "RW" and one of Q-T.
set(KORVEL_PUBLIC_KEY_PATTERN "^RW[Q-T][A-Za-z0-9+/]+$")

# Checks a key list and a minimum sequence as the program will read them. out_keys receives the
# keys, each checked, ';'-separated without blanks (empty for no keys); out_minimum the
# minimum (0 without keys when none was given). A key list that holds anything but keys, or
# keys without a minimum, stops the configuration: the program would otherwise trust no key or
# any catalogue ever signed, and nobody would notice until clients stopped updating.
function(korvel_check_release_keys keys minimum out_keys out_minimum)
  set(checked "")
  foreach(item IN LISTS keys)
    string(STRIP "${item}" item)
    if(item STREQUAL "")
      continue()
    endif()
    string(LENGTH "${item}" length)
    if(NOT length EQUAL 56 OR NOT item MATCHES "${KORVEL_PUBLIC_KEY_PATTERN}")
      message(FATAL_ERROR "KORVEL_RELEASE_KEYS: \"${item}\" is not a minisign public key (the second "
                          "line of a minisign .pub file: 56 characters beginning with RW).")
    endif()
    list(APPEND checked "${item}")
  endforeach()
  string(STRIP "${keys}" keys)
  if(NOT keys STREQUAL "")
    if(NOT checked)
      message(FATAL_ERROR "KORVEL_RELEASE_KEYS is \"${keys}\", which names no key. Leave it empty "
                          "for a program that checks nothing, or give the second line of minisign.pub.")
    endif()
  endif()
  if(checked AND minimum STREQUAL "")
    message(FATAL_ERROR "KORVEL_RELEASE_KEYS is set but KORVEL_RELEASE_MIN_SEQUENCE is not: a new "
                        "installation would accept any catalogue ever signed with these keys. Set it to "
                        "the sequence of the newest catalogue signed so far (README, Signed releases), "
                        "or to 0 to accept them all knowingly.")
  endif()
  if(minimum STREQUAL "")
    set(minimum 0)
  endif()
  # The program reads at most 18 digits: every such number fits its 64-bit counters.
  string(LENGTH "${minimum}" digits)
  if(NOT minimum MATCHES "^(0|[1-9][0-9]*)$" OR digits GREATER 18)
    message(FATAL_ERROR "KORVEL_RELEASE_MIN_SEQUENCE is not a number of at most 18 digits: ${minimum}")
  endif()
  list(JOIN checked ";" joined)
  set(${out_keys} "${joined}" PARENT_SCOPE)
  set(${out_minimum} "${minimum}" PARENT_SCOPE)
endfunction()

# The configured keys, checked once for the whole build.
korvel_check_release_keys("${KORVEL_RELEASE_KEYS}" "${KORVEL_RELEASE_MIN_SEQUENCE}"
  KORVEL_CONFIGURED_KEYS KORVEL_CONFIGURED_MIN_SEQUENCE)

# Compiles an executable's release keys into it:
#   korvel_release_keys(<executable> CONFIGURED)   the keys this build was configured with
#   korvel_release_keys(<executable> NONE)         no keys: checks nothing
#   korvel_release_keys(<executable> KEYS <key>... MINIMUM <n> [CLIENTS_BESIDE_PROGRAM])
function(korvel_release_keys target)
  cmake_parse_arguments(PARSE_ARGV 1 arg "CONFIGURED;NONE;CLIENTS_BESIDE_PROGRAM" "MINIMUM" "KEYS")
  get_target_property(type ${target} TYPE)
  if(NOT type STREQUAL "EXECUTABLE")
    message(FATAL_ERROR "korvel_release_keys(${target}): keys belong to an executable, not to a ${type}")
  endif()
  set(beside OFF)
  if(arg_CONFIGURED)
    set(keys "${KORVEL_CONFIGURED_KEYS}")
    set(minimum "${KORVEL_CONFIGURED_MIN_SEQUENCE}")
    set(beside ${KORVEL_RELEASE_CLIENTS_BESIDE_PROGRAM})
  elseif(arg_NONE)
    set(keys "")
    set(minimum 0)
  else()
    korvel_check_release_keys("${arg_KEYS}" "${arg_MINIMUM}" keys minimum)
    if(keys STREQUAL "")
      message(FATAL_ERROR "korvel_release_keys(${target}): KEYS names no key")
    endif()
    set(beside ${arg_CLIENTS_BESIDE_PROGRAM})
  endif()
  set(KORVEL_KEYS "${keys}")
  set(KORVEL_MINIMUM "${minimum}")
  if(beside)
    set(KORVEL_BESIDE true)
  else()
    set(KORVEL_BESIDE false)
  endif()
  set(source "${CMAKE_BINARY_DIR}/release_keys/${target}.cpp")
  configure_file("${CMAKE_SOURCE_DIR}/cmake/release_keys.cpp.in" "${source}" @ONLY)
  target_sources(${target} PRIVATE "${source}")
endfunction()
