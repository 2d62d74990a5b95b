#!/bin/sh
# Update throughput of lanternix-update.exe (under Wine) beside the platform's own
# ceiling (WinHTTP + CNG with no engine, bench/ceiling_main.cpp) and native tools
# (curl, zstd, sha256sum) on the same objects, in one run: fresh install, no-op
# check, repair, a 1% change, and the engine's peak working set; the bare installer
# (wine_ceiling install: fetch, hash, unpack, write, flush, rename, nothing else) as the
# install's reference; then a client of many small files (fresh install and no-op) to
# show how the costs grow with the file count.
# usage: bench/update_benchmark.sh [TOTAL_MIB (2048)] [FILES (10000)] [SMALL_MIB (1024)] [SMALL_FILES (50000; 0 skips)]
# Builds what it needs (LANTERNIX_BENCH_BUILD: another configured Windows build folder);
# work files go to a temporary folder under build/ and are removed at the end; nginx
# (loopback) stops with the script. The report's rows also go to
# bench/results/<date>-<MiB>MiB-<files>files.txt.
set -eu
total_mib=${1:-2048}
files=${2:-10000}
small_mib=${3:-1024}
small_files=${4:-50000}
. "$(dirname "$0")/publish_tool.sh"
build=${LANTERNIX_BENCH_BUILD:-$here/build/windows}
[ -n "${LANTERNIX_BENCH_BUILD:-}" ] || cmake --preset windows >/dev/null
cmake --build "$build" --target lanternix-update wine_ceiling >/dev/null
publish="$publish_tool"
update="$build/app/lanternix-update.exe"
ceiling="$build/bench/wine_ceiling.exe"
key="$here/tests/support/keys/test-release-key.pem"
wine="$here/scripts/wine-run"
cores=$(nproc)

bench_name=update
. "$here/bench/bench_work.sh"
sum_sizes() { find "$@" -type f -printf '%s\n' | awk '{ s += $1 } END { printf "%d", s }'; }
mbps() { awk -v b="$1" -v s="$2" 'BEGIN { if (s > 0 && b > 0) printf "%7.1f MB/s", b / 1e6 / s; else printf "%12s", "-" }'; }
mib() { awk -v b="$1" 'BEGIN { printf "%.1f MiB", b / 1048576 }'; }
publish_client() {  # version [client folder] [channel]
  "$publish" publish --site "$work/site" --channel "${3:-live}" --client "${2:-$work/client}" --version "$1" \
    --executable bin/64/Kaldren.exe --launcher "$update" --launcher-version 0.1.0 --key "$key" 2>/dev/null
}
log_lines() { wc -l < "$work/nginx/access.log"; }
# "path size" of the object requests nginx answered after line $1 of its access log.
objects_since() {
  tail -n +"$(($1 + 1))" "$work/nginx/access.log" |
    awk '$2 ~ /^\/v2\/objects\// && ($(NF-1) == 200 || $(NF-1) == 206) { sub(/^\//, "", $2); print $2, $NF }'
}
# Runs the engine on $game (default $work/game); sets run_out, run_wall, run_engine (its
# own seconds), run_peak and run_gap (the longest wait between two progress reports).
run_update() {
  run_out="$work/update.out"
  t0=$(now)
  "$wine" "$update" --root "Z:${game:-$work/game}" --base-url "http://127.0.0.1:$port" "$@" > "$run_out" 2>"$work/update.err" ||
    { echo "lanternix-update failed:"; cat "$work/update.err" "$run_out"; exit 1; }
  run_wall=$(since "$t0")
  run_engine=$(sed -n -e 's/.* downloaded in \([0-9.]*\) s;.*/\1/p' -e 's/.* is up to date (\([0-9.]*\) s);.*/\1/p' "$run_out" | tail -1)
  run_peak=$(sed -n 's/.*; peak working set \(.*\)$/\1/p' "$run_out" | tail -1)
  run_gap=$(sed -n 's/.*[Ll]ongest progress gap:* \([0-9.]* m*s\).*/\1/p' "$run_out" "$work/update.err" | tail -1)
}
# The bare installer into $1 from list $2; sets bare_seconds and checks the result against $3.
run_bare() {
  rm -rf "$1"
  "$wine" "$ceiling" install "$base" "Z:$2" "Z:$1" > "$work/bare.out" || { echo "the bare installer failed"; exit 1; }
  bare_seconds=$(awk '{ print $4 }' "$work/bare.out")
  if ! diff -r "$3" "$1" > /dev/null; then echo "the bare installer's folder differs from the client"; exit 1; fi
  rm -rf "$1"
}

python3 bench/generate_client.py "$work/client" "$total_mib" "$files" 7 >/dev/null
client_bytes=$(sum_sizes "$work/client")
count=$(find "$work/client" -type f | wc -l)
publish_client 1.0.0 > "$work/publish1.out"
find "$work/site/v2/objects" -type f | sort > "$work/objects1"

start_nginx "$work/site"
base="http://127.0.0.1:$port"
# Warm the page cache and Wine so every row starts the same way.
find "$work/site" "$work/client" -type f -print0 | xargs -0 cat > /dev/null
"$wine" "$ceiling" > /dev/null 2>&1 || true

echo "client: $count files, $(mib "$client_bytes"), $cores cores, $(date -u +%F), served by nginx on loopback" >&2

# 1. Fresh install, then the same objects through WinHTTP + CNG and through native tools.
mark=$(log_lines)
run_update
install_wall=$run_wall install_engine=$run_engine install_peak=$run_peak install_gap=$run_gap
objects_since "$mark" > "$work/install-objects"
stored_bytes=$(awk '{ s += $2 } END { printf "%d", s }' "$work/install-objects")
objects=$(wc -l < "$work/install-objects")
if ! diff -r --exclude=Lanternix "$work/client" "$work/game" > /dev/null; then echo "the installed game differs from the client"; exit 1; fi

"$wine" "$ceiling" "$base" "Z:$work/install-objects" > "$work/ceiling.out"
ceiling_bytes=$(awk '{ print $2 }' "$work/ceiling.out")
ceiling_seconds=$(awk '{ print $4 }' "$work/ceiling.out")
[ "$ceiling_bytes" = "$stored_bytes" ] || { echo "wine_ceiling fetched $ceiling_bytes bytes, expected $stored_bytes"; exit 1; }
python3 bench/install_list.py "$work/site" > "$work/install-list"
run_bare "$work/bare" "$work/install-list" "$work/client"
install_bare=$bare_seconds

mkdir "$work/dl"
t0=$(now)
awk -v base="$base" '{ print base "/" $1 }' "$work/install-objects" |
  xargs -n 50 -P 8 curl -s --fail --remote-name-all --output-dir "$work/dl"
curl_seconds=$(since "$t0")
for f in "$work"/dl/*; do
  [ "$(head -c 4 "$f" | od -An -tx1 | tr -d ' \n')" = "28b52ffd" ] && mv "$f" "$f.zst"
done
t1=$(now)
find "$work/dl" -name '*.zst' -print0 | xargs -0 -n 64 -P "$cores" zstd -d -q --rm
find "$work/dl" -type f -print0 | xargs -0 -n 64 -P "$cores" sha256sum > /dev/null
unpack_seconds=$(since "$t1")
native_seconds=$(awk -v a="$curl_seconds" -v b="$unpack_seconds" 'BEGIN { printf "%.3f", a + b }')
rm -rf "$work/dl"

# 2. No-op check (index hit) and full-hash repair; 3. CNG hashing of the same bytes.
run_update
noop_wall=$run_wall noop_engine=$run_engine noop_peak=$run_peak
run_update --repair
repair_wall=$run_wall repair_engine=$run_engine repair_peak=$run_peak repair_gap=$run_gap
find "$work/game" -path "$work/game/Lanternix" -prune -o -type f -printf "Z:%p\n" > "$work/game-files"
"$wine" "$ceiling" hash "Z:$work/game-files" > "$work/hash.out"
hash_seconds=$(awk '{ print $4 }' "$work/hash.out")

# 4. A 1% change: about 1% of the bytes, in files of at most a quarter of that, get
# 16 new bytes each in their middle; republish and update.
target=$((client_bytes / 100))
find "$work/client" -type f -printf '%s %p\n' | sort -k2 | awk -v t="$target" -v cap=$((client_bytes / 400)) \
  'BEGIN { srand(11) } $1 <= cap && rand() < 0.2 && s < t { s += $1; print }' > "$work/changed"
changed_files=$(wc -l < "$work/changed")
changed_bytes=$(awk '{ s += $1 } END { printf "%d", s }' "$work/changed")
while read -r size path; do
  head -c 16 /dev/urandom | dd of="$path" bs=1 seek=$((size / 2)) conv=notrunc status=none
done < "$work/changed"
publish_client 1.0.1 > "$work/publish2.out"
find "$work/site/v2/objects" -type f | sort > "$work/objects2"
new_stored=$(comm -13 "$work/objects1" "$work/objects2" | xargs -r stat -c %s | awk '{ s += $1 } END { printf "%d", s }')
new_objects=$(comm -13 "$work/objects1" "$work/objects2" | wc -l)
mark=$(log_lines)
run_update
change_wall=$run_wall change_engine=$run_engine change_peak=$run_peak
change_line=$(sed -n 's/^Updated to client \(.*\); peak.*/\1/p' "$run_out")
change_downloaded=$(objects_since "$mark" | awk '{ s += $2 } END { printf "%d", s }')
change_requests=$(objects_since "$mark" | wc -l)
if ! diff -r --exclude=Lanternix "$work/client" "$work/game" > /dev/null; then echo "the updated game differs from the client"; exit 1; fi

# 5. Many small files: a fresh install and a no-op check, beside the bare installer.
if [ "$small_files" -gt 0 ]; then
  python3 bench/generate_client.py "$work/small" "$small_mib" "$small_files" 5 >/dev/null
  small_bytes=$(sum_sizes "$work/small")
  publish_client 1.0.0 "$work/small" small > /dev/null
  find "$work/site" "$work/small" -type f -print0 | xargs -0 cat > /dev/null
  game="$work/game-small"
  run_update --channel small
  small_wall=$run_wall small_engine=$run_engine small_peak=$run_peak small_gap=$run_gap
  if ! diff -r --exclude=Lanternix "$work/small" "$game" > /dev/null; then echo "the small-file game differs"; exit 1; fi
  run_update --channel small
  small_noop_wall=$run_wall small_noop_engine=$run_engine small_noop_peak=$run_peak
  game=""
  python3 bench/install_list.py "$work/site" small > "$work/small-list"
  run_bare "$work/bare" "$work/small-list" "$work/small"
  small_bare=$bare_seconds
fi

results="$here/bench/results/$(date -u +%F)-${total_mib}MiB-${files}files.txt"
mkdir -p "$(dirname "$results")"
exec 3>&1 > "$work/report"
row() {  # label, seconds, wall, client bytes, stored bytes, peak
  printf "%-40s %8s s %8s s  %s  %s  %s\n" "$1" "$2" "$3" "$(mbps "$4" "$2")" "$(mbps "$5" "$2")" "$6"
}
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { if (b > 0) printf "%.2f", a / b; else printf "-" }'; }
echo "client: $count files, $(mib "$client_bytes"), $cores cores, $(date -u +%F), served by nginx on loopback"
echo "stored objects of the install: $objects, $(mib "$stored_bytes")"
printf "%-40s %10s %10s  %12s  %12s  %s\n" "" "time" "wall*" "client/s" "stored/s" "peak WS"
row "fresh install, lanternix-update" "$install_engine" "$install_wall" "$client_bytes" "$stored_bytes" "$install_peak"
row "  bare installer, no engine" "$install_bare" "-" "$client_bytes" "$stored_bytes" ""
row "  WinHTTP x8 + CNG, no engine" "$ceiling_seconds" "-" "$client_bytes" "$stored_bytes" ""
row "  curl x8 + zstd -d + sha256sum (native)" "$native_seconds" "-" "$client_bytes" "$stored_bytes" ""
row "    of which curl x8" "$curl_seconds" "-" 0 "$stored_bytes" ""
row "no-op check (index hit)" "$noop_engine" "$noop_wall" 0 0 "$noop_peak"
row "repair (--repair, every file hashed)" "$repair_engine" "$repair_wall" "$client_bytes" 0 "$repair_peak"
row "  CNG SHA-256, 1 thread, same files" "$hash_seconds" "-" "$client_bytes" 0 ""
row "1% change: update" "$change_engine" "$change_wall" 0 0 "$change_peak"
echo "1% change: $changed_files files ($(mib "$changed_bytes")) changed; $new_objects new objects stored, $(mib "$new_stored");"
echo "           downloaded $(mib "$change_downloaded") in $change_requests object requests (nginx body bytes)"
echo "           engine: $change_line"
if [ "$small_files" -gt 0 ]; then
  echo "small files: $small_files files, $(mib "$small_bytes")"
  row "fresh install, small files" "$small_engine" "$small_wall" "$small_bytes" 0 "$small_peak"
  row "  bare installer, small files" "$small_bare" "-" "$small_bytes" 0 ""
  row "no-op check, small files" "$small_noop_engine" "$small_noop_wall" 0 0 "$small_noop_peak"
fi
echo "* wall: including Wine start-up; time: the engine's own or the tool's measure"
echo "longest wait between progress reports: install ${install_gap:--}, repair ${repair_gap:--}${small_gap:+, small files $small_gap}"
echo "install / bare installer: $(ratio "$install_engine" "$install_bare") (goal <= 1.5)"
if [ "$small_files" -gt 0 ]; then echo "small files: install / bare installer: $(ratio "$small_engine" "$small_bare")"; fi
echo "repair speed / one CNG thread: $(ratio "$hash_seconds" "$repair_engine") (goal >= 1.8)"
echo "no-op check with Wine start-up: ${noop_wall} s (goal <= 1)"
exec 1>&3 3>&-
cp "$work/report" "$results"
cat "$work/report"
echo "(written to ${results#"$here"/})"
