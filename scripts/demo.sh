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
for preset in native win32 win64; do
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset"
done
bash scripts/dist.sh
source scripts/wine-env.sh
koushin_wine_prefix
if [ -z "${DISPLAY:-}" ] || ! xdpyinfo >/dev/null 2>&1; then
  source scripts/xvfb.sh
  set -- --headless
fi
/usr/bin/python3 scripts/demo_run.py "$@"
