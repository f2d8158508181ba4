#!/usr/bin/env bash
# Builds the program (release) and starts it. Without a display it starts on Qt's offscreen
# platform, where the blocking still works with the stored lists.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/deps.sh
cmake --preset release >/dev/null
cmake --build --preset release --target okgate

if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ] && [ -z "${QT_QPA_PLATFORM:-}" ]; then
    echo "No display found: starting on Qt's offscreen platform (no window is shown)."
    export QT_QPA_PLATFORM=offscreen
fi
exec build/release/src/ui/okgate
