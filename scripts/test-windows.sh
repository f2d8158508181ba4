#!/usr/bin/env bash
# Cross-builds the core, the Windows platform layer and their tests for 64-bit Windows with
# MinGW-w64, then runs the tests under Wine. Installs the compiler and Wine when missing.
# Usage: scripts/test-windows.sh
set -euo pipefail
cd "$(dirname "$0")/.."

# The MinGW-w64 compiler (posix threads, for std::thread), GoogleTest's sources and Wine.
scripts/deps.sh g++-mingw-w64-x86-64-posix googletest wine wine64

echo "== Windows cross-build (MinGW-w64)"
cmake --preset mingw >/dev/null
cmake --build --preset mingw -j "$(nproc)"

# A Wine prefix of our own, thrown away at the end; no Mono or Gecko prompts.
WINEPREFIX=$(mktemp -d "${TMPDIR:-/tmp}/okg-wine.XXXXXX")
export WINEPREFIX WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
cleanup() {
    wineserver -k 2>/dev/null || true # ends this prefix's server and its services only
    rm -rf "$WINEPREFIX"
}
trap cleanup EXIT

echo "== Wine prefix"
# One server for the whole run, so that each test program starts in a fraction of a second. The
# prefix's services start with it here, their output on /dev/null: started by a test they would
# hold the test's output pipe open and CTest would wait for them.
wineserver -p
timeout 300 wineboot --init >/dev/null 2>&1 </dev/null

echo "== tests under Wine"
timeout 1800 ctest --preset mingw -j "$(nproc)"
