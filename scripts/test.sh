#!/usr/bin/env bash
# Builds and runs every test: the debug build (unit, widget, real-kernel and end-to-end tests),
# then the sanitizer build (unit and widget tests), then the Debian package (as root), then the
# Windows cross-build under Wine.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/deps.sh

jobs=$(nproc)

echo "== debug build"
cmake --preset debug >/dev/null
cmake --build --preset debug -j "$jobs"

echo "== sanitizer build"
cmake --preset asan >/dev/null
cmake --build --preset asan -j "$jobs"

echo "== sanitizer tests (unit, widget)"
ctest --preset asan -L 'unit|widget'

echo "== all tests (debug)"
ctest --preset debug

echo "== Debian package: built, installed, run as users in and outside the group, removed"
bash scripts/test-package.sh

echo "== Windows cross-build, tests under Wine"
bash scripts/test-windows.sh
