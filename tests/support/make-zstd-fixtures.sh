#!/bin/sh
# Regenerates the zstd frames of the object store tests with the zstd command line,
# so that unpacking is checked against frames the launcher did not make (its Windows
# build carries only zstd's decoder). The tests rebuild the contents themselves.
#   tests/support/make-zstd-fixtures.sh
set -eu
here=$(cd "$(dirname "$0")" && pwd)
out="$here/fixtures/zstd"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$out"

# 10000 numbered lines: 390000 bytes, several output buffers of the decoder.
i=1
while [ "$i" -le 10000 ]; do
  printf 'line %05d of the object store fixture\n' "$i"
  i=$((i + 1))
done > "$work/lines.txt"
zstd -q -f -3 --check "$work/lines.txt" -o "$out/lines.zst"

printf 'a second frame\n' > "$work/short.txt"
zstd -q -f -3 --check "$work/short.txt" -o "$out/short.zst"

# A frame header asking for a 256 MiB window (more than the launcher allows), then
# one raw last block of one byte: magic, descriptor 0x00 (no size, not single-segment),
# window byte 0x90 (exponent 18: 2^(10+18)), block header 0x09 0x00 0x00, the byte.
printf '\050\265\057\375\000\220\011\000\000x' > "$out/window-2-28.zst"
