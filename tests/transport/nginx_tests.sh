#!/bin/sh
# usage: nginx_tests.sh WINE_RUN TEST_EXE NGINX_SERVER_PY
# Runs the Nginx cases of the transport tests against nginx serving a temporary folder.
set -eu
wine_run="$1"; exe="$2"; server="$3"
command -v nginx >/dev/null || { echo "nginx is not installed (scripts/setup installs it)"; exit 77; }
. "$(dirname "$0")/with_server.sh"
work=$(mktemp -d)
trap 'stop_server; rm -rf "$work"' EXIT
trap 'exit 1' INT TERM
mkdir -p "$work/site" "$work/nginx"
start_server "$work" python3 "$server" --root "$work/site" --work "$work/nginx"
LANTERNIX_TEST_PORT=$port \
LANTERNIX_TEST_SITE=$(windows_path "$work/site") \
LANTERNIX_TEST_ACCESS_LOG=$(windows_path "$work/nginx/access.log") \
  "$wine_run" "$exe" --gtest_filter='Nginx.*' --gtest_brief=1
