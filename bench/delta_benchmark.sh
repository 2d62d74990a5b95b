#!/bin/sh
# What an update costs a player, three ways, on the same data served by nginx on
# loopback, with every byte and request counted from nginx's access log:
#   lanternix  publish v1, install it under Wine, publish v2, update (chunk lists);
#   whole      the same with --chunk-average 0 (every changed file fetched whole, as the
#              launcher did before chunk lists): bytes, requests and wall time;
#   casync     casync make v1 and v2 (64 KiB chunks), extract v2 seeded from v1 over HTTP;
#   zsync      zsyncmake v2, zsync -i v1 over HTTP (a tree is zsynced as one tar).
# Cases: bench/delta_cases.py. Each Lanternix game folder is compared with v2 byte for byte.
# usage: bench/delta_benchmark.sh [SCALE (1)] [CASES ("overwrite insert scattered tree shared new100")]
# SCALE divides the large files (4: quarter-size files, for a quick look). Installs casync
# and zsync when missing (Debian packages, root). Rows also go to
# bench/results/<date>-delta.txt.
set -eu
scale=${1:-1}
cases=${2:-"overwrite insert scattered tree shared new100"}
. "$(dirname "$0")/publish_tool.sh"
for tool in casync zsync; do
  command -v "$tool" >/dev/null 2>&1 || DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends casync zsync >/dev/null
done
build=${LANTERNIX_BENCH_BUILD:-$here/build/windows}
[ -n "${LANTERNIX_BENCH_BUILD:-}" ] || cmake --preset windows >/dev/null
cmake --build "$build" --target lanternix-update >/dev/null
update="$build/app/lanternix-update.exe"
key="$here/tests/support/keys/test-release-key.pem"
wine="$here/scripts/wine-run"

bench_name=delta
. "$here/bench/bench_work.sh"
mib() { awk -v b="$1" 'BEGIN { printf "%.2f", b / 1048576 }'; }
# Bytes and requests nginx answered since the log was cleared.
served() { awk '{ bytes += $NF; n += 1 } END { printf "%d %d", bytes, n }' "$work/nginx/access.log"; }
clear_log() { : > "$work/nginx/access.log"; }

mkdir -p "$work/www"
start_nginx "$work/www"
url="http://127.0.0.1:$port"

publish() {  # site version folder [options]
  site=$1 version=$2 folder=$3
  shift 3
  "$publish_tool" publish --site "$work/www/$site" --channel live --client "$folder" --version "$version" \
    --executable bin/64/Kaldren.exe --launcher "$update" --launcher-version 0.1.0 --key "$key" "$@" 2>/dev/null
}
# Installs v1 from SITE into a game folder, publishes v2 there, and updates: "bytes requests seconds".
launcher_update() {  # site [publish options]
  site=$1
  shift
  game="$work/game-$site"
  rm -rf "$game"
  publish "$site" 1.0.1 "$work/v1" "$@" >/dev/null
  "$wine" "$update" --root "Z:$game" --base-url "$url/$site" > "$work/install.out" 2>&1 ||
    { cat "$work/install.out"; exit 1; }
  publish "$site" 1.0.2 "$work/v2" "$@" > "$work/publish-$site.out"
  clear_log
  t0=$(now)
  "$wine" "$update" --root "Z:$game" --base-url "$url/$site" > "$work/update.out" 2>&1 ||
    { cat "$work/update.out"; exit 1; }
  seconds=$(since "$t0" 1)
  diff -r -q -x Lanternix "$work/v2" "$game" >/dev/null || { echo "$site: the game folder differs from v2"; exit 1; }
  echo "$(served) $seconds"
}

results="$here/bench/results/$(date +%Y-%m-%d)-delta.txt"
header=$(printf '%-10s %9s | %-26s | %-26s | %-18s | %-18s' case changed "lanternix MiB req s" "whole MiB req s" \
  "casync MiB req" "zsync MiB req")
{
  echo "delta update benchmark, scale 1/$scale, $(date -u +%Y-%m-%dT%H:%M:%SZ), $(nproc) cores"
  echo "$header"
} | tee "$results"
for case in $cases; do
  rm -rf "$work/www"/* "$work"/v1 "$work"/v2 "$work"/game-* "$work"/casync-out "$work"/zsync-out
  changed=$(python3 "$here/bench/delta_cases.py" "$case" "$work/v1" "$work/v2" "$scale")
  set -- $(launcher_update chunks)
  l_bytes=$1 l_requests=$2 l_seconds=$3
  estimate=$(sed -n 's/.*an update from release 1 downloads .* (\([0-9]*\) bytes).*/\1/p' "$work/publish-chunks.out")
  set -- $(launcher_update whole --chunk-average 0)
  w_bytes=$1 w_requests=$2 w_seconds=$3

  # casync: directory archives in one store, v2 extracted with v1 as the seed.
  mkdir -p "$work/www/casync"
  casync make --store="$work/www/casync/store.castr" "$work/www/casync/v1.caidx" "$work/v1" >/dev/null
  casync make --store="$work/www/casync/store.castr" "$work/www/casync/v2.caidx" "$work/v2" >/dev/null
  clear_log
  casync extract --store="$url/casync/store.castr" --seed="$work/v1" "$url/casync/v2.caidx" "$work/casync-out" >/dev/null 2>&1
  diff -r -q "$work/v2" "$work/casync-out" >/dev/null || echo "casync: the extracted tree differs from v2"
  set -- $(served)
  c_bytes=$1 c_requests=$2

  # zsync: one file when the case changes one large file, else the tree as one tar.
  mkdir -p "$work/www/zsync" "$work/zsync-out"
  single=$(cd "$work/v2" && find data -type f | sort)
  if [ "$(echo "$single" | wc -l)" -eq 1 ] && [ -f "$work/v1/$single" ]; then
    old="$work/v1/$single"
    new="$work/v2/$single"
  else
    tar --sort=name --mtime=@0 --owner=0 --group=0 --numeric-owner -C "$work/v1" -cf "$work/v1.tar" .
    tar --sort=name --mtime=@0 --owner=0 --group=0 --numeric-owner -C "$work/v2" -cf "$work/www/zsync/v2.tar" .
    old="$work/v1.tar"
    new="$work/www/zsync/v2.tar"
  fi
  cp "$new" "$work/www/zsync/target" 2>/dev/null || true
  (cd "$work/www/zsync" && zsyncmake -u "$url/zsync/target" -o target.zsync target >/dev/null 2>&1)
  clear_log
  (cd "$work/zsync-out" && zsync -q -i "$old" -o out "$url/zsync/target.zsync" >/dev/null 2>&1)
  cmp -s "$new" "$work/zsync-out/out" || echo "zsync: the result differs from v2"
  set -- $(served)
  z_bytes=$1 z_requests=$2

  printf '%-10s %9s | %8s %5s %6ss    | %8s %5s %6ss    | %8s %6s    | %8s %6s\n' "$case" "$(mib "$changed")" \
    "$(mib "$l_bytes")" "$l_requests" "$l_seconds" "$(mib "$w_bytes")" "$w_requests" "$w_seconds" \
    "$(mib "$c_bytes")" "$c_requests" "$(mib "$z_bytes")" "$z_requests" | tee -a "$results"
  awk -v l="$l_bytes" -v c="$c_bytes" -v z="$z_bytes" -v ch="$changed" -v e="$estimate" -v name="$case" 'BEGIN {
    best = c < z ? c : z
    printf "  %s: lanternix / better of casync and zsync = %.2f; limit 1.1 x changed + 2 MiB %s; publisher estimate %d bytes (%+d)\n",
      name, l / best, (l <= 1.1 * ch + 2097152 ? "kept" : "EXCEEDED"), e, e - l }' | tee -a "$results"
done
