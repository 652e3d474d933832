#!/usr/bin/env bash
# Installs what is missing, then builds and runs every test: the native unit
# tests, the same with AddressSanitizer and UBSan, the i686 and x86_64
# Windows builds with their tests under Wine, a short run of each fuzz
# target, the tests of mkupdate, and the end-to-end cases of the real updater.
# Usage: scripts/test.sh            (FUZZ_SECONDS=N to fuzz longer)
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
bash scripts/setup.sh

step() { printf '\n=== %s\n' "$*"; }

step "native build and unit tests"
cmake --preset native >/dev/null
cmake --build --preset native
ctest --test-dir build/native --output-on-failure -j2

step "unit tests with AddressSanitizer and UBSan"
cmake --preset asan >/dev/null
cmake --build --preset asan
ASAN_OPTIONS=detect_leaks=1 ctest --test-dir build/asan --output-on-failure -j2

step "Windows builds, unit tests under Wine"
source scripts/wine-env.sh
koushin_wine_prefix
source scripts/xvfb.sh   # a display: some unit tests drive a real dialog
skipped=""
for preset in win32 win64; do
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset"
  if [ "$preset" = win32 ] && [ "$KOUSHIN_WINE_32BIT" = 0 ]; then
    skipped="the i686 build's unit tests and end-to-end cases (this machine runs no 32-bit code)"
    echo "SKIPPED: $skipped; the x86_64 build takes all the end-to-end cases instead"
    continue
  fi
  ctest --test-dir "build/$preset" --output-on-failure
done
bash scripts/dist.sh

# After the Windows builds: their updaters are the seeds of the PE reader.
step "fuzz targets, ${FUZZ_SECONDS:-20} s each"
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz
seeds="build/fuzz/seeds"
mapfile -t targets < build/fuzz/fuzz_targets.txt   # the targets, as fuzz/CMakeLists.txt lists them
rm -rf "$seeds"
for target in "${targets[@]}"; do mkdir -p "$seeds/$target"; done
build/native/tools/mkupdate pack archive -o "$seeds/archive/sources.bin" -q
build/fuzz/fuzz/solid_group_seeds "$seeds/solid_group"
cp examples/game/install/SETUP.INI "$seeds/installer_config/"
{ printf '\x40'; cat examples/update/UPDATE.INI; } > "$seeds/profile/UPDATE.INI"
# The templates mkupdate starts from, and an update built from one.
cp build/win32/updater.exe "$seeds/pe_resources/updater-i686.exe"
cp build/win64/updater.exe "$seeds/pe_resources/updater-x86_64.exe"
build/native/tools/mkupdate build examples/update --updater build/win32/updater.exe -o "$seeds/pe_resources/update.exe" -q
for target in "${targets[@]}"; do
  mkdir -p "build/fuzz/corpus/$target"
  (cd build/fuzz && "./fuzz/fuzz_$target" -max_total_time="${FUZZ_SECONDS:-20}" -rss_limit_mb=2048 \
      -artifact_prefix="$root/build/fuzz/" "corpus/$target" "$root/$seeds/$target" 2>&1 | tail -n 1)
done

step "mkupdate: round trips, the script check, built executables (PE parser, Wine, signing)"
if [ "$KOUSHIN_WINE_32BIT" = 0 ]; then
  # The x86_64 Windows mkupdate, beside the same updaters, is the one that runs here.
  rm -rf build/dist-wine64 && cp -r build/dist build/dist-wine64
  cp build/win64/tools/mkupdate.exe build/dist-wine64/mkupdate.exe
  export KOUSHIN_MKUPDATE_EXE="$root/build/dist-wine64/mkupdate.exe"
fi
/usr/bin/python3 tests/tools/mkupdate_test.py build/dist

step "the updater's resources, read back with an independent PE parser"
/usr/bin/python3 tests/e2e/check_templates.py build/win32/updater.exe
/usr/bin/python3 tests/e2e/check_templates.py build/win64/updater.exe

# All cases on the shipped i686 build, or on the x86_64 one where i686
# programs cannot run here.
full=build/win32
[ "$KOUSHIN_WINE_32BIT" = 1 ] || full=build/win64
step "end to end under Wine: $full, Japanese code page (screenshots in artifacts/screenshots)"
bash scripts/e2e.sh "$full"
step "end to end under Wine: $full, US English code page, representative cases"
KOUSHIN_WINE_LANG=en_US.UTF-8 bash scripts/e2e.sh "$full" --representative
if [ "$full" = build/win32 ]; then
  step "end to end under Wine: build/win64, representative cases"
  bash scripts/e2e.sh build/win64 --representative
fi
echo
if [ -n "$skipped" ]; then
  echo "all tests passed but SKIPPED: $skipped"
else
  echo "all tests passed"
fi
