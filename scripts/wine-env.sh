# Sourced by the scripts that run Windows programs: one Wine prefix for the
# project, made once (64-bit, so it runs both the i686 and the x86_64 build)
# and reused; the Japanese locale, so the system code page is 932.
: "${KOUSHIN_ROOT:=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)}"
export WINEPREFIX="${KOUSHIN_WINE_PREFIX:-$KOUSHIN_ROOT/build/wine/prefix}"
export WINEARCH=win64
export WINEDEBUG="${WINEDEBUG:--all}"
export WINEDLLOVERRIDES="mscoree,mshtml="   # no Mono or Gecko installer prompts
export LANG="${KOUSHIN_WINE_LANG:-ja_JP.UTF-8}"
export LC_ALL="$LANG"

# Debian's `wine` starts every program through Wine's 32-bit loader, which is
# an i386 Linux program. Some machines run no 32-bit Linux code at all (their
# kernel refuses i386 programs: "Exec format error"). There `wine` and
# `wine-stable` are pointed at the 64-bit loader, which runs the x86_64
# build, and KOUSHIN_WINE_32BIT=0 tells the scripts that the i686 build
# cannot be run on this machine. Setting KOUSHIN_WINE_32BIT=0 beforehand
# runs a machine that has 32-bit code the same way, to reproduce one that has not.
if [ "${KOUSHIN_WINE_32BIT:-}" != 0 ] && /usr/lib/wine/wine --version >/dev/null 2>&1; then
  export KOUSHIN_WINE_32BIT=1
else
  export KOUSHIN_WINE_32BIT=0
  mkdir -p "$KOUSHIN_ROOT/build/wine/bin"
  for name in wine wine-stable; do
    printf '#!/bin/sh\nexec /usr/lib/wine/wine64 "$@"\n' >"$KOUSHIN_ROOT/build/wine/bin/$name"
    chmod +x "$KOUSHIN_ROOT/build/wine/bin/$name"
  done
  export PATH="$KOUSHIN_ROOT/build/wine/bin:$PATH"
  export WINELOADER=/usr/lib/wine/wine64
fi

koushin_wine_prefix() {
  if [ ! -f "$WINEPREFIX/system.reg" ]; then
    echo "wine: creating the prefix $WINEPREFIX (once; takes a minute)"
    mkdir -p "$(dirname "$WINEPREFIX")"
    wineboot -i >/dev/null 2>&1 || true
    wineserver -w
  fi
}
