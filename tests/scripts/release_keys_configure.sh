#!/usr/bin/env bash
# Which release keys a program trusts is decided when the build is configured, once and for
# every executable by name: a key list that holds anything but keys, or keys without a lowest
# sequence, stops the configuration with a message that says what to set; and the library that
# every executable links defines no keys that a linker could pick instead of the executable's.
# Usage: release_keys_configure.sh SOURCE_DIR BUILD_DIR
set -euo pipefail
source=$1
build=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

key=$(sed -n 2p "$source/tests/support/release_key/test.pub")
second=$(sed -n 2p "$source/tests/support/release_key/second.pub")
status=0

# configure EXPECTED_MESSAGE CMAKE_ARGUMENTS...: the configuration must fail with that message.
refused() {
  local expected=$1; shift
  if cmake -S "$source" -B "$work/build" -G Ninja -DKORVEL_BENCH=OFF "$@" >"$work/out" 2>&1; then
    echo "FAIL: configured with $*"; status=1; return
  fi
  if ! tr -s ' \n' ' ' <"$work/out" | grep -qF -- "$expected"; then
    echo "FAIL: configuring with $* did not say: $expected"; cat "$work/out"; status=1
  fi
}

refused "KORVEL_RELEASE_KEYS is set but KORVEL_RELEASE_MIN_SEQUENCE is not" -DKORVEL_RELEASE_KEYS="$key"
refused "\"RWQnot-a-key\" is not a minisign public key" -DKORVEL_RELEASE_KEYS="RWQnot-a-key" \
  -DKORVEL_RELEASE_MIN_SEQUENCE=1
# One key of two mistyped (a character lost): the other would still be trusted, the new one never.
refused "is not a minisign public key" -DKORVEL_RELEASE_KEYS="$key;${second:1}" -DKORVEL_RELEASE_MIN_SEQUENCE=1
refused "names no key" "-DKORVEL_RELEASE_KEYS= ; " -DKORVEL_RELEASE_MIN_SEQUENCE=1
refused "KORVEL_RELEASE_MIN_SEQUENCE is not a number" -DKORVEL_RELEASE_KEYS="$key" -DKORVEL_RELEASE_MIN_SEQUENCE=1e3
refused "KORVEL_RELEASE_MIN_SEQUENCE is not a number" -DKORVEL_RELEASE_KEYS="$key" \
  -DKORVEL_RELEASE_MIN_SEQUENCE=1000000000000000000

# Sound values: the program's generated keys are the checked list.
if ! cmake -S "$source" -B "$work/build" -G Ninja -DKORVEL_BENCH=OFF -DKORVEL_RELEASE_KEYS=" $key ; $second " \
     -DKORVEL_RELEASE_MIN_SEQUENCE=7 >"$work/out" 2>&1; then
  echo "FAIL: sound keys were refused"; cat "$work/out"; status=1
elif ! grep -qF "return \"$key;$second\";" "$work/build/release_keys/Korvel.cpp" ||
     ! grep -qF "return 7;" "$work/build/release_keys/Korvel.cpp"; then
  echo "FAIL: the program's keys are not the configured ones"; cat "$work/build/release_keys/Korvel.cpp"; status=1
fi

# The library holds no keys: each executable's own are the only ones it can link.
if nm -C --defined-only "$build/libkorvel.a" 2>/dev/null | grep -q "release::compiledIn"; then
  echo "FAIL: libkorvel.a defines release keys of its own"; status=1
fi
for program in Korvel.exe signed/Korvel.exe; do
  if [ "$(nm -C --defined-only "$build/$program" | grep -c "release::compiledInKeys()")" != 1 ]; then
    echo "FAIL: $program does not define its release keys once"; status=1
  fi
done
[ $status = 0 ] && echo "release keys are checked when configured and compiled into each program alone"
exit $status
