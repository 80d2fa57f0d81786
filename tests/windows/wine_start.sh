#!/bin/sh
# Starts Wine for the test run: the wine server, kept running, and the prefix
# (made on first use), with every output away from CTest's pipe (see
# tests/CMakeLists.txt). WINEPREFIX comes from the test preset.
set -e
if [ -n "${WINEPREFIX:-}" ]; then mkdir -p "$WINEPREFIX"; fi
wineserver -p </dev/null >/dev/null 2>&1 || true  # already running: fine
wineboot -u </dev/null >/dev/null 2>&1
