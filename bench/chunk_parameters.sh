#!/bin/sh
# The measurement behind the default chunk sizes: every case of bench/delta_cases.py
# published twice with each average chunk size, and what lanternix-publish reports an
# update from the first version to cost (bytes and requests, planned as the launcher
# plans), with the manifest's bytes, the chunk lists' bytes on the site per GiB and the
# site's object count.
# usage: bench/chunk_parameters.sh [SCALE (1)] [AVERAGES ("8192 16384 32768 65536")]
# SCALE divides the large files (4: quarter-size files, for a quick look).
set -eu
scale=${1:-1}
averages=${2:-"8192 16384 32768 65536"}
. "$(dirname "$0")/publish_tool.sh"
key="$here/tests/support/keys/test-release-key.pem"
bench_name=chunks
. "$here/bench/bench_work.sh"
printf '%-10s %8s %14s %9s %14s %12s %10s\n' case average "update bytes" requests "manifest bytes" "lists/GiB" objects
for case in overwrite insert scattered tree shared new100; do
  python3 "$here/bench/delta_cases.py" "$case" "$work/v1" "$work/v2" "$scale" >/dev/null
  content=$(du -sb "$work/v2" | cut -f1)
  for average in $averages; do
    rm -rf "$work/site"
    for v in 1 2; do
      "$publish_tool" publish --site "$work/site" --channel live --client "$work/v$v" --version "1.0.$v" \
        --executable bin/64/Kaldren.exe --launcher "$work/v1/bin/64/Kaldren.exe" --launcher-version 0.1.0 \
        --key "$key" --chunk-average "$average" > "$work/out" 2>/dev/null
    done
    cost=$(sed -n 's/.*an update from release 1 downloads .* (\([0-9]*\) bytes) in \([0-9]*\) requests/\1 \2/p' "$work/out")
    manifest=$(python3 - "$work/site" <<'EOF'
import base64, json, sys
envelope = json.load(open(sys.argv[1] + "/v2/channels/live/release.json"))
print(json.loads(base64.b64decode(envelope["payload"]))["client"]["manifest"]["size"])
EOF
)
    lists=$(sed -n 's/.*, \([0-9]*\) bytes of lists$/\1/p' "$work/out")
    objects=$(find "$work/site/v2/objects" -type f | wc -l)
    printf '%-10s %8s %14s %9s %14s %12s %10s\n' "$case" "$average" "${cost% *}" "${cost#* }" "$manifest" \
      "$(awk -v l="$lists" -v c="$content" 'BEGIN { printf "%.0f", l * 1073741824 / c }')" "$objects"
  done
done
