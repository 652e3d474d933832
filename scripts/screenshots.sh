#!/usr/bin/env bash
# Refreshes the pictures of the publisher's guide (docs/screenshots): the
# end-to-end cases that take them, run on the i686 build under the Japanese
# code page, each picture cut to the window it shows.
# Needs the native and win32 builds (scripts/test.sh or the README's builds).
set -euo pipefail
cd "$(dirname "$0")/.."
out=docs/screenshots
mkdir -p "$out"
cases="update-completes-exit-1,agreement-keeps-next-disabled,wizard-cancelled,no-record-key"
cases+=",commands-during-a-box-of-the-run-change-nothing,failure-at-the-third-of-five,disc-prompt-cancelled"
KOUSHIN_WINE_LANG=ja_JP.UTF-8 bash scripts/e2e.sh build/win32 -k "$cases" --shots "$out"
# The desktop around the windows goes: the pictures show what the player sees.
for png in "$out"/*.png; do
  convert "$png" -bordercolor '#236e96' -border 1 -fuzz 8% -trim +repage "$png"
done
ls "$out"
