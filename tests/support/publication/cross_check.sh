#!/bin/sh
# usage: cross_check.sh PUBLISH_TOOL CHECK_EXE WINE_RUN KEY_PEM KEY_HEX_FILE
# Publishes a small client with the native tool, then has the Windows build check
# the release, the manifest and every object under Wine; then damages one object
# and expects the Windows check to notice.
set -eu
tool="$1"; check="$2"; wine_run="$3"; key="$4"; key_hex=$(cat "$5")
if [ ! -x "$tool" ]; then
  echo "the native publishing tool is not built at $tool (build the native preset first)"
  exit 1
fi
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/client/bin/64" "$work/client/data/Städte"
head -c 200000 /dev/urandom > "$work/client/bin/64/Kaldren.exe"
yes "the same line again" | head -c 3000000 > "$work/client/data/big.txt"
cp "$work/client/data/big.txt" "$work/client/data/Städte/copy.txt"
: > "$work/client/data/empty.dat"
head -c 100000 /dev/urandom > "$work/launcher.exe"
"$tool" publish --site "$work/site" --channel live --client "$work/client" --version 1.2.3 \
  --executable bin/64/Kaldren.exe --launcher "$work/launcher.exe" --launcher-version 0.1.0 --key "$key" 2>/dev/null
echo "--- Windows check of the native publication"
"$wine_run" "$check" "Z:$work/site" live "$key_hex"
# Damage the largest object: the Windows check must see it.
object=$(find "$work/site/v2/objects" -type f -printf '%s %p\n' | sort -n | tail -1 | cut -d' ' -f2)
printf 'X' | dd of="$object" bs=1 seek=5 conv=notrunc 2>/dev/null
echo "--- Windows check after damaging $(basename "$object")"
if "$wine_run" "$check" "Z:$work/site" live "$key_hex"; then
  echo "FAIL: the damaged object went unnoticed"
  exit 1
fi
echo "damage detected"
