#!/usr/bin/env bash
# Assembles what a publisher gets, in build/dist: mkupdate for Linux and for
# Windows, and the two prebuilt updaters that mkupdate starts from.
# Expects the native, win32 and win64 builds to be done.
set -euo pipefail
cd "$(dirname "$0")/.."
dist=build/dist
mkdir -p "$dist"
cp build/native/tools/mkupdate "$dist/mkupdate"
cp build/win32/tools/mkupdate.exe "$dist/mkupdate.exe"
cp build/win32/updater.exe "$dist/updater-i686.exe"
cp build/win64/updater.exe "$dist/updater-x86_64.exe"
echo "dist: $(ls "$dist" | tr '\n' ' ')"
