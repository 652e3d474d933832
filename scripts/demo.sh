#!/usr/bin/env bash
# Installs what is missing, builds koushin natively and for Windows, and shows
# the payload archive at work: packs the example folder, lists the archive,
# unpacks it again and compares every file with its original.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
cmake --preset native >/dev/null && cmake --build --preset native
cmake --preset win32 >/dev/null && cmake --build --preset win32

out=build/demo
rm -rf "$out" && mkdir -p "$out"
mkupdate=build/native/tools/mkupdate
echo
echo "== packing examples/update into $out/payload.bin"
$mkupdate pack examples/update -o "$out/payload.bin"
echo
echo "== its entries"
$mkupdate list "$out/payload.bin"
echo
echo "== unpacking and comparing"
$mkupdate extract "$out/payload.bin" -o "$out/unpacked"
diff -r examples/update "$out/unpacked" && echo "every file came back byte for byte"
