#!/usr/bin/env bash
# The end-to-end tests: the Windows build of the updater under Wine, on an
# Xvfb display, in Wine's virtual desktop. Needs the native build (for
# mkupdate) and the Windows build given (default build/win32).
# Usage: scripts/e2e.sh [BUILD_DIR] [-k SUBSTRING] [--representative]
set -euo pipefail
cd "$(dirname "$0")/.."
build="${1:-build/win32}"
shift || true
source scripts/wine-env.sh
koushin_wine_prefix

# Always a display of our own, so that no window of the desktop gets in the way.
source scripts/xvfb.sh

# Wine's own desktop draws captions and keeps activation inside Wine.
wine reg add 'HKCU\Software\Wine\Explorer' /v Desktop /t REG_SZ /d Default /f >/dev/null 2>&1
wine reg add 'HKCU\Software\Wine\Explorer\Desktops' /v Default /t REG_SZ /d 1024x768 /f >/dev/null 2>&1
wineserver -p 60 || true   # keep one server between the cases' Wine processes
/usr/bin/python3 tests/e2e/harness.py "$build" "$@"
