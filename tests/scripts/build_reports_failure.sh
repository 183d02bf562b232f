#!/usr/bin/env bash
# A compile error must fail scripts/build and scripts/asan-build, even where an earlier build
# left a program behind. Runs the real scripts on a throw-away project beside a copy of them
# (the set-up they call finds the LZMA SDK through the copied tree's .cache link).
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

cp -r "$root/scripts" "$work/scripts"
ln -s "$root/.cache" "$work/.cache"
cat > "$work/CMakeLists.txt" <<'CMAKE'
cmake_minimum_required(VERSION 3.16)
project(broken CXX)
add_executable(Korvel.exe main.cpp)
CMAKE
echo 'int main() { return 0; }' > "$work/main.cpp"

for script in build asan-build; do
  "$work/scripts/$script" "$work/out-$script" >/dev/null 2>&1 ||
    { echo "FAIL: scripts/$script did not build a sound source"; exit 1; }
done

echo 'int main() { return undeclared; }' > "$work/main.cpp"
for script in build asan-build; do
  if "$work/scripts/$script" "$work/out-$script" >/dev/null 2>&1; then
    echo "FAIL: scripts/$script reported success for a source that does not compile"
    exit 1
  fi
done
echo "the build scripts report a failed compile"
