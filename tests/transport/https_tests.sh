#!/bin/sh
# usage: https_tests.sh WINE_RUN TEST_EXE NGINX_SERVER_PY WINE_PREFIX
# Serves a folder over TLS 1.2/1.3 with a certificate of a certificate authority made
# here. With the authority in the system's trust store the transport must fetch over
# HTTPS; once it is removed, the same server must be refused. The authority is always
# removed again, whatever happens; certificate checks are never turned off.
# The test has a Wine prefix of its own, and stops its Wine server before each phase:
# while that server and its background programs run, Wine keeps trusting a removed
# authority there.
set -eu
wine_run="$1"; exe="$2"; server="$3"
export LANTERNIX_WINEPREFIX="$4"
command -v nginx >/dev/null || { echo "nginx is not installed (scripts/setup installs it)"; exit 77; }
[ "$(id -u)" = 0 ] || { echo "changing the system's trusted certificates needs root"; exit 77; }
. "$(dirname "$0")/with_server.sh"
store=/usr/local/share/ca-certificates/lanternix-test-ca.crt
work=$(mktemp -d)
untrust() {
  if [ -f "$store" ]; then
    rm -f "$store"
    update-ca-certificates --fresh >/dev/null 2>&1 || true
  fi
}
# Stops the prefix's server and waits until it is gone, so the next run starts afresh.
stop_wine() { sh "$(dirname "$wine_run")/wine-stop" "$LANTERNIX_WINEPREFIX"; }
trap 'stop_server; untrust; stop_wine; rm -rf "$work"' EXIT
trap 'exit 1' INT TERM
# Two runs at once would remove each other's authority.
exec 9>/tmp/lanternix-test-ca.lock
flock 9

cd "$work"
openssl req -x509 -newkey rsa:2048 -nodes -keyout ca.key -out ca.pem -days 2 -subj "/CN=Lanternix Test CA" \
  -addext "basicConstraints=critical,CA:TRUE" -addext "keyUsage=critical,keyCertSign,cRLSign" 2>/dev/null
openssl req -newkey rsa:2048 -nodes -keyout server.key -out server.csr -subj "/CN=localhost" 2>/dev/null
printf '%s\n' "subjectAltName=DNS:localhost,IP:127.0.0.1" "basicConstraints=critical,CA:FALSE" \
  "keyUsage=critical,digitalSignature,keyEncipherment" "extendedKeyUsage=serverAuth" >server.ext
openssl x509 -req -in server.csr -CA ca.pem -CAkey ca.key -CAcreateserial -out server.pem -days 2 \
  -extfile server.ext 2>/dev/null
mkdir -p site nginx
start_server "$work" python3 "$server" --root "$work/site" --work "$work/nginx" \
  --cert "$work/server.pem" --key "$work/server.key"
export LANTERNIX_TEST_PORT=$port
LANTERNIX_TEST_SITE=$(windows_path "$work/site"); export LANTERNIX_TEST_SITE

echo "--- with the test certificate authority trusted"
cp ca.pem "$store"
update-ca-certificates >/dev/null 2>&1
stop_wine
"$wine_run" "$exe" --gtest_filter='Https.Trusted*' --gtest_brief=1

echo "--- after removing it"
untrust
stop_wine
"$wine_run" "$exe" --gtest_filter='Https.Untrusted*' --gtest_brief=1
