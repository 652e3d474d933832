#!/usr/bin/env bash
# Formats the C++ sources by .clang-format (clang-format 14, as Debian 12
# ships it). The two files that tools/dev/gen_messages.py writes are left
# as it writes them.
set -euo pipefail
cd "$(dirname "$0")/.."
git ls-files '*.cpp' '*.h' | grep -v -e '^common/messages\.h$' -e '^tests/unit/message_originals\.h$' |
  xargs clang-format-14 -i --style=file
