#!/bin/sh
# Regenerates the signed release fixtures with the OpenSSL command line, so that
# the launcher's own verification (CNG or OpenSSL) is checked against documents it
# did not produce. The key pair in keys/ is a TEST key: it signs fixtures and demo
# releases only and must never be built into a published launcher.
#   tests/support/make-fixtures.sh            sign with the existing test key
#   tests/support/make-fixtures.sh --new-key  make a new test key pair first
set -eu
here=$(cd "$(dirname "$0")" && pwd)
keys="$here/keys"
fixtures="$here/fixtures"
key="$keys/test-release-key.pem"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

if [ "${1:-}" = "--new-key" ] || [ ! -f "$key" ]; then
  openssl ecparam -name prime256v1 -genkey -noout -out "$key"
fi
# The public key as the launcher takes it: 130 hex characters of 04 || X || Y.
openssl ec -in "$key" -pubout -outform DER 2>/dev/null | tail -c 65 | od -An -v -tx1 | tr -d ' \n' > "$keys/test-release-key.hex"
key_hex=$(cat "$keys/test-release-key.hex")
key_id=$(printf '%s' "$key_hex" | xxd -r -p | sha256sum | cut -c1-16)

digest() { printf '%s' "$1" | sha256sum | cut -c1-64; }

# The client manifest the release names (three files, ascending byte order of paths).
readme=$(digest "readme")
exe=$(digest "game executable")
pak=$(digest "pak content")
pak_stored=$(digest "pak content, compressed")
printf '%s' '{"schema":2,"kind":"manifest","version":"1.4.2","files":[
{"path":"Readme.txt","sha256":"'"$readme"'","size":6,"stored_sha256":"'"$readme"'","stored_size":6,"compression":"none"},
{"path":"bin/Kaldren.exe","sha256":"'"$exe"'","size":15,"stored_sha256":"'"$exe"'","stored_size":15,"compression":"none"},
{"path":"data/base.pak","sha256":"'"$pak"'","size":11,"stored_sha256":"'"$pak_stored"'","stored_size":9,"compression":"zstd"}
]}
' > "$fixtures/manifest.json"
manifest_sha=$(sha256sum < "$fixtures/manifest.json" | cut -c1-64)
manifest_size=$(wc -c < "$fixtures/manifest.json" | tr -d ' ')

launcher=$(digest "launcher executable")
launcher_stored=$(digest "launcher executable, compressed")
printf '%s' '{"schema":2,"kind":"release","channel":"live","sequence":7,"published_at":"2024-05-01T12:00:00Z",'\
'"client":{"version":"1.4.2","executable":"bin/Kaldren.exe","file_count":3,"install_size":32,"download_size":30,'\
'"manifest":{"sha256":"'"$manifest_sha"'","size":'"$manifest_size"',"stored_sha256":"'"$manifest_sha"'","stored_size":'"$manifest_size"',"compression":"none"}},'\
'"launcher":{"version":"1.2.0","file":{"sha256":"'"$launcher"'","size":5000000,"stored_sha256":"'"$launcher_stored"'","stored_size":2000000,"compression":"zstd"}}}' > "$work/payload"

# The signed message is the domain text (ending in a line feed) followed by the payload.
printf 'kaldren-lanternix/release/v2\n' > "$work/message"
cat "$work/payload" >> "$work/message"
openssl dgst -sha256 -sign "$key" -out "$work/signature.der" "$work/message"
# DER (r, s) to 32-byte big-endian r || s.
openssl asn1parse -inform DER -in "$work/signature.der" | awk -F: '/INTEGER/ { print $NF }' > "$work/integers"
[ "$(wc -l < "$work/integers")" -eq 2 ] || { echo "unexpected signature encoding" >&2; exit 1; }
raw=""
while read -r integer; do
  raw="$raw$(printf '%064s' "$integer" | tr ' ' 0)"
done < "$work/integers"
signature=$(printf '%s' "$raw" | xxd -r -p | base64 -w0)
payload=$(base64 -w0 < "$work/payload")

printf '{"payload":"%s","signatures":[{"key_id":"%s","signature":"%s"}]}\n' "$payload" "$key_id" "$signature" \
  > "$fixtures/release.json"
echo "fixtures written with key id $key_id"
