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

koushin_wine_prefix() {
  if [ ! -f "$WINEPREFIX/system.reg" ]; then
    echo "wine: creating the prefix $WINEPREFIX (once; takes a minute)"
    mkdir -p "$(dirname "$WINEPREFIX")"
    wineboot -i >/dev/null 2>&1 || true
    wineserver -w
  fi
}
