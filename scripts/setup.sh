#!/usr/bin/env bash
# Installs everything koushin needs to build and test on Debian 12: the native
# toolchain, the mingw-w64 cross compilers, Wine with its 32-bit half, Xvfb and
# the Japanese locale and fonts. Safe to run again: it only installs what is missing.
set -euo pipefail

packages=(
  cmake ninja-build g++ clang-14 libclang-rt-14-dev
  googletest libgtest-dev libbenchmark-dev zlib1g-dev liblz4-dev
  mingw-w64
  wine wine64 wine32:i386
  xvfb xauth x11-utils imagemagick locales fonts-ipafont-gothic
  python3 python3-pefile osslsigncode
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done

sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"

if [ "${#missing[@]}" -gt 0 ]; then
  echo "setup: installing ${missing[*]}"
  if ! dpkg --print-foreign-architectures | grep -qx i386; then
    $sudo dpkg --add-architecture i386
  fi
  # A mirror in mid-sync fails one index now and then: try again, and go on
  # with what was fetched if it keeps failing (install then says what is missing).
  for attempt in 1 2 3; do
    $sudo apt-get update -q && break
    echo "setup: apt-get update failed (attempt $attempt)" >&2
    sleep $((attempt * 5))
  done
  install=($sudo env DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends)
  # Without the security archive's i386 index, the i386 half of Wine cannot
  # match the amd64 libraries' security versions; the release's own versions
  # of both halves always match.
  if ! "${install[@]}" "${missing[@]}"; then
    echo "setup: installing from the release's own versions instead" >&2
    "${install[@]}" -t bookworm "${missing[@]}"
  fi
fi

# Japanese for the updater's own tests; US English to show that it behaves
# the same under another system code page.
for loc in ja_JP en_US; do
  if ! locale -a 2>/dev/null | grep -qi "^${loc}\.utf-\?8$"; then
    echo "setup: generating the ${loc}.UTF-8 locale"
    grep -q "^${loc}.UTF-8 UTF-8" /etc/locale.gen || echo "${loc}.UTF-8 UTF-8" | $sudo tee -a /etc/locale.gen >/dev/null
    $sudo locale-gen >/dev/null
  fi
done
