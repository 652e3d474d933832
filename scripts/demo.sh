#!/usr/bin/env bash
# The main job on the built-in example: installs what is missing, builds
# koushin (Linux and Windows), builds the example update with mkupdate,
# installs the example game into a Wine prefix and runs the update there:
# in a window when a display and a terminal are at hand, otherwise driven
# automatically on a virtual display, printing each screen. Ends by showing
# which files of the game changed.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
# Only what the demo runs: mkupdate for Linux and Windows, the two updaters
# (the x86_64 one is run where this machine has no 32-bit code) and the
# driver that plays the wizard without a display; no tests, no benchmarks.
cmake --preset native >/dev/null
cmake --build --preset native --target mkupdate
cmake --preset win32 >/dev/null
cmake --build --preset win32 --target updater mkupdate e2e_driver
cmake --preset win64 >/dev/null
cmake --build --preset win64 --target updater e2e_driver
bash scripts/dist.sh
source scripts/wine-env.sh
koushin_wine_prefix
if [ -z "${DISPLAY:-}" ] || ! xdpyinfo >/dev/null 2>&1; then
  source scripts/xvfb.sh
  set -- --headless
fi
/usr/bin/python3 scripts/demo_run.py "$@"
