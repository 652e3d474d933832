#!/usr/bin/env bash
# Compares the block codec of the working tree with that of another revision,
# in one process (bench/compare_revision.cpp): the other revision's encoder
# and decoder are compiled with their public functions renamed and linked
# beside the tree's. Needs g++ and zlib's headers (scripts/setup.sh).
# Usage: bench/compare_revision.sh REV [RUNS]   e.g. bench/compare_revision.sh HEAD~3 20
set -euo pipefail
cd "$(dirname "$0")/.."
rev=${1:?usage: bench/compare_revision.sh REV [RUNS]}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
git archive "$rev" archive common | tar -x -C "$work"
flags=(-O2 -std=c++20)
rename=(-DCompressLzBlock=BaseCompressLzBlock -DDecompressLzBlock=BaseDecompressLzBlock
        -DDecompressLzBlockChecked=BaseDecompressLzBlockChecked)
g++ "${flags[@]}" -I"$work" "${rename[@]}" -c "$work/archive/lz_encode.cpp" -o "$work/base_encode.o"
g++ "${flags[@]}" -I"$work" "${rename[@]}" -c "$work/archive/lz_block.cpp" -o "$work/base_block.o"
g++ "${flags[@]}" -I. -DKOUSHIN_SOURCE_DIR="\"$PWD\"" bench/compare_revision.cpp bench/corpus.cpp \
  archive/lz_encode.cpp archive/lz_block.cpp "$work/base_encode.o" "$work/base_block.o" -o "$work/compare" -lz -lpthread
"$work/compare" "$(git rev-parse --short "$rev")" "${2:-10}"
