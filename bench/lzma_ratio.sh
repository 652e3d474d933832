#!/usr/bin/env bash
# Archive sizes of a corpus of game-like files, one folder per kind, by
# mkupdate (pack --method all, and LzBlock only) against gzip -9, xz -9e,
# zstd -19 --long (each over a tar of the kind: solid), 7-Zip ultra and an
# NSIS installer compressed with SetCompressor /SOLID lzma (its size less
# that of an empty installer of the same script). mkupdate --method all (what
# build writes) compresses each file on its own and files of one kind that
# resemble each other as solid groups where that pays; the last column is xz
# -9e of each file on its own, summed (what solid compression gains).
#   bench/lzma_ratio.sh CORPUS [MKUPDATE]     (CORPUS/exe, CORPUS/wav, ...)
set -euo pipefail
corpus=$(realpath "$1")
mkupdate=$(realpath "${2:-build/native/tools/mkupdate}")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
size() { stat -c %s "$1"; }
nsis_size() {  # the installer of folder $1 less an empty one's
  local dir=$1 out=$2
  printf 'OutFile "%s"\nSetCompressor /SOLID lzma\nSection\nSetOutPath $INSTDIR\n%s\nSectionEnd\n' \
    "$out" "$( [ -n "$dir" ] && echo "File /r \"$dir/*\"" )" > "$work/s.nsi"
  makensis -V1 "$work/s.nsi" >/dev/null
  size "$out"
}
empty=$(nsis_size "" "$work/empty.exe")
printf '%-8s %10s %10s %10s %10s %10s %10s %10s %10s %10s\n' kind original "mk all" "mk lz" "gzip -9" "xz -9e" "zstd -19" "7z -mx9" "nsis lzma" "xz each"
for kind in $(ls "$corpus") ALL; do
  if [ "$kind" = ALL ]; then dir=$corpus; else dir=$corpus/$kind; fi
  original=$(du -sb --apparent-size "$dir" | cut -f1)
  "$mkupdate" pack "$dir" -o "$work/all.bin" --method all -q
  "$mkupdate" pack "$dir" -o "$work/lz.bin" -q
  tar -C "$dir" --sort=name -cf "$work/k.tar" .
  gzip -9 -c "$work/k.tar" > "$work/k.gz"
  xz -9e -T1 -c "$work/k.tar" > "$work/k.xz"
  zstd -19 --long -q -c "$work/k.tar" > "$work/k.zst"
  rm -f "$work/k.7z"; (cd "$dir" && 7z a -mx=9 "$work/k.7z" . >/dev/null)
  nsis=$(( $(nsis_size "$dir" "$work/n.exe") - empty ))
  each=0
  while IFS= read -r -d '' f; do each=$(( each + $(xz -9e -T1 -c "$f" | wc -c) )); done < <(find "$dir" -type f -print0)
  printf '%-8s %10d %10d %10d %10d %10d %10d %10d %10d %10d\n' "$kind" "$original" "$(size "$work/all.bin")" \
    "$(size "$work/lz.bin")" "$(size "$work/k.gz")" "$(size "$work/k.xz")" "$(size "$work/k.zst")" \
    "$(size "$work/k.7z")" "$nsis" "$each"
done
