#!/bin/sh
# Publishing throughput of lanternix-publish beside zstd and sha256sum on the same
# client, in one run.
# usage: bench/publish_throughput.sh [TOTAL_MIB (default 1024)] [FILES (default 5000)]
# Needs the native-release build (built here if missing). Work files go to a
# temporary folder under build/ and are removed at the end.
set -eu
total_mib=${1:-1024}
files=${2:-5000}
. "$(dirname "$0")/publish_tool.sh"
tool="$publish_tool"
bench_name=publish
. "$here/bench/bench_work.sh"
python3 bench/generate_client.py "$work/client" "$total_mib" "$files" >/dev/null
head -c 4000000 /dev/zero > "$work/launcher.exe"
"$tool" keygen --out "$work/key.pem" >/dev/null
bytes=$(find "$work/client" -type f -printf '%s\n' | awk '{s+=$1} END {print s}')
count=$(find "$work/client" -type f | wc -l)
cores=$(nproc)

rate() { awk -v b="$bytes" -v s="$1" 'BEGIN { printf "%8.1f MB/s  (%6.2f s)", b / 1e6 / s, s }'; }
# Warm the page cache so every row reads the same way.
find "$work/client" -type f -print0 | xargs -0 cat > /dev/null

publish() {  # level, site
  "$tool" publish --site "$2" --channel live --client "$work/client" --version 1.0.0 \
    --executable bin/64/Kaldren.exe --launcher "$work/launcher.exe" --launcher-version 0.1.0 \
    --key "$work/key.pem" --level "$1" 2>/dev/null
}

echo "client: $count files, $(awk -v b="$bytes" 'BEGIN { printf "%.2f GiB", b / 1073741824 }'), $cores cores, $(date -u +%Y-%m-%d)"
t0=$(now); publish 0 "$work/site0" > "$work/out0"; t1=$(now)
echo "publish, no compression (--level 0):   $(rate "$(awk -v a="$t0" -v b="$t1" "BEGIN { print b - a }")")"
t0=$(now); publish 6 "$work/site6" > "$work/out6"; t1=$(now)
echo "publish, zstd level 6 (default):       $(rate "$(awk -v a="$t0" -v b="$t1" "BEGIN { print b - a }")")"
echo "    $(cat "$work/out6")"
t0=$(now); publish 6 "$work/site6" > /dev/null; t1=$(now)
echo "republish unchanged (level 6):         $(rate "$(awk -v a="$t0" -v b="$t1" "BEGIN { print b - a }")")"
t0=$(now); find "$work/client" -type f -print0 | xargs -0 -n 64 -P "$cores" sha256sum > /dev/null; t1=$(now)
echo "sha256sum, $cores processes:              $(rate "$(awk -v a="$t0" -v b="$t1" "BEGIN { print b - a }")")"
t0=$(now); find "$work/client" -type f -print0 | xargs -0 -n 64 -P "$cores" zstd -q -6 -c > /dev/null; t1=$(now)
echo "zstd -6, $cores processes:                $(rate "$(awk -v a="$t0" -v b="$t1" "BEGIN { print b - a }")")"
t0=$(now); publish 6 "$work/site6b" > /dev/null; t1=$(now)
echo "publish, zstd level 6, again:          $(rate "$(awk -v a="$t0" -v b="$t1" "BEGIN { print b - a }")")"
