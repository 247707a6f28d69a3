#!/usr/bin/env bash
# Cross builds: Windows x64 (MinGW-w64, run under wine) and big-endian s390x Linux (run under
# qemu-s390x). For each: configure and build its preset, run the unit tests through the
# emulator with ctest, and run the native build's end-to-end suite against the cross-built
# programs. Then make the Linux and Windows packages and check what they hold.
#
# Usage: .ci/cross.sh [native build directory, relative to the project's root; default: build]
# The native build directory must already hold a built tests/extraction_test.
set -euo pipefail
cd "$(dirname "$0")/.."
native_build=$(realpath "${1:-build}")
export DEBIAN_FRONTEND=noninteractive

step() { echo "== $* (at ${SECONDS}s)"; }

missing=()
command -v x86_64-w64-mingw32-g++-posix >/dev/null || missing+=(g++-mingw-w64-x86-64)
command -v s390x-linux-gnu-g++ >/dev/null || missing+=(g++-s390x-linux-gnu)
command -v qemu-s390x >/dev/null || missing+=(qemu-user)
command -v wine >/dev/null || missing+=(wine)
[ -x /usr/lib/wine/wine64 ] || missing+=(wine64)
[ -d /usr/src/googletest ] || missing+=(googletest)
if [ ${#missing[@]} -gt 0 ]; then
  step "installing ${missing[*]}"
  # The package lists are fetched only when the ones at hand (say from .ci/run) do not serve.
  apt-get install -y --no-install-recommends "${missing[@]}" || {
    apt-get update
    apt-get install -y --no-install-recommends "${missing[@]}"
  }
fi

test_binary="$native_build/tests/extraction_test"
[ -x "$test_binary" ] || { echo "no $test_binary: build natively first" >&2; exit 1; }

# Runs the native end-to-end suite against the programs in $1, started through the command $2.
end_to_end() {
  SOUNDEXT_PROGRAM_DIR="$1" SOUNDEXT_EMULATOR="$2" SOUNDEXT_EXE_SUFFIX="${3:-}" \
    SOUNDEXT_CONSOLE_CRLF="${4:-0}" "$test_binary" --gtest_brief=1
}

# wine: quiet, a prefix of our own made before the first real start (else that start reports
# on standard error), and one server kept alive for the whole run (else every start waits
# about 4 s for a new one). The server's output goes elsewhere, or it would hold our output
# pipe open. With its own prefix the run has its own server, which it alone stops at the end.
export WINEDEBUG=-all
export WINEPREFIX="$PWD/build-windows/wineprefix"
mkdir -p "$WINEPREFIX"
export WINEDLLOVERRIDES="mscoree=;mshtml="  # no mono or gecko installer
wine_started=0
stop_wine() {
  if [ "$wine_started" = 1 ]; then wineserver -k >/dev/null 2>&1 || true; fi
}
trap stop_wine EXIT

step "wine prefix and server"
wine_started=1
wineboot -i >build-windows/wineboot.log 2>&1 || { cat build-windows/wineboot.log >&2; exit 1; }
wineserver -w  # the server wineboot started ends before the persistent one begins
wineserver -p >/dev/null 2>&1 </dev/null
# Start wine's own background processes now, away from our pipes: started by the first test
# instead, they would inherit its output pipe and keep it open until the server ends.
wineboot >/dev/null 2>&1 </dev/null

step "Windows x64: configure and build"
cmake --preset windows
cmake --build --preset windows -j2
step "Windows x64: unit tests under wine"
ctest --preset windows -j2
step "Windows x64: end-to-end tests under wine"
end_to_end "$PWD/build-windows" "$(command -v wine)" .exe 1

step "s390x: configure and build"
cmake --preset s390x
cmake --build --preset s390x -j2
step "s390x: unit tests under qemu-s390x"
ctest --preset s390x -j2
step "s390x: end-to-end tests under qemu-s390x"
end_to_end "$PWD/build-s390x" "$(command -v qemu-s390x) -L /usr/s390x-linux-gnu"

step "packages"
cpack --preset windows
cpack --config "$native_build/CPackConfig.cmake" -B "$native_build"
# Lists the files in archive $1 and fails unless every further argument is one of them.
expect_in_archive() {
  local archive=$1 listing
  shift
  listing=$(cmake -E tar tf "$archive")
  for name in "$@"; do
    grep -qE "(^|/)$name\$" <<<"$listing" || { echo "$archive lacks $name" >&2; exit 1; }
  done
  echo "$archive: $(wc -l <<<"$listing") entries"
}
programs=(soundext-{a,b,c,d,e,f,g,h,i})
expect_in_archive build-windows/soundext-*-win64.zip "${programs[@]/%/.exe}" README.md
expect_in_archive "$native_build"/soundext-*-Linux-*.tar.gz "${programs[@]/#/bin/}" README.md

step "cross builds passed"
