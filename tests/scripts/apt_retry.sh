#!/usr/bin/env bash
# scripts/apt-retry against a stand-in apt-get (first on PATH): a registry that answers with a
# mirror-sync error twice is waited for and the command succeeds; one that never recovers fails
# the command in the end, with apt's message and what to do. Runs as root only (elsewhere the
# script would ask sudo, which does not look at PATH).
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
[ "$(id -u)" = 0 ] || { echo "not root: skipped"; exit 77; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir "$work/bin"
# Fails while the count file says so, logging every call.
cat > "$work/bin/apt-get" <<'FAKE'
#!/bin/sh
echo "$*" >> "$APT_LOG"
left=$(cat "$APT_FAILURES")
if [ "$left" -gt 0 ]; then
  echo $((left - 1)) > "$APT_FAILURES"
  echo "E: Failed to fetch http://deb.example/dists/bookworm/main/binary-amd64/Packages.xz  File has unexpected size (123 != 456). Mirror sync in progress? [IP: 127.0.0.1 80]" >&2
  exit 100
fi
FAKE
chmod +x "$work/bin/apt-get"
export PATH="$work/bin:$PATH" APT_LOG="$work/calls" APT_FAILURES="$work/failures" KORVEL_APT_WAIT=1

# Two failures, then the registry is whole again: installed, with fresh indexes before the retries.
echo 2 > "$work/failures"
KORVEL_APT_PATIENCE=60 "$root/scripts/apt-retry" install pkg-a pkg-b 2> "$work/err" ||
  { echo "FAIL: a registry that recovered still failed the install"; cat "$work/err"; exit 1; }
grep -q "Mirror sync in progress" "$work/err" || { echo "FAIL: apt's message was hidden"; exit 1; }
installs=$(grep -c '^install ' "$work/calls")
updates=$(grep -c '^update ' "$work/calls")
[ "$installs" = 2 ] && [ "$updates" = 1 ] ||
  { echo "FAIL: expected 2 installs and 1 update in between, got:"; cat "$work/calls"; exit 1; }
grep -q -- '--error-on=any' "$work/calls" || { echo "FAIL: a failed index would pass as a warning"; exit 1; }

# A registry that stays broken: the command fails, says what apt said and what to do.
: > "$work/calls"
echo 1000 > "$work/failures"
if KORVEL_APT_PATIENCE=2 "$root/scripts/apt-retry" update 2> "$work/err"; then
  echo "FAIL: a registry that never recovered passed"; exit 1
fi
grep -q "still failed" "$work/err" && grep -q "unexpected size" "$work/err" && grep -q "another mirror" "$work/err" ||
  { echo "FAIL: the last message does not say what happened and what to do:"; cat "$work/err"; exit 1; }
[ "$(grep -c '^update ' "$work/calls")" -ge 2 ] || { echo "FAIL: no second try"; exit 1; }
echo "apt-retry waits for a registry that recovers and fails clearly on one that does not"
