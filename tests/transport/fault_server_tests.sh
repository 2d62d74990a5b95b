#!/bin/sh
# usage: fault_server_tests.sh WINE_RUN TEST_EXE FAULT_SERVER_PY
# Runs the FaultServer cases of the transport tests against a scripted local server.
set -eu
wine_run="$1"; exe="$2"; server="$3"
. "$(dirname "$0")/with_server.sh"
work=$(mktemp -d)
trap 'stop_server; rm -rf "$work"' EXIT
trap 'exit 1' INT TERM
echo '{}' >"$work/script.json"
start_server "$work" python3 "$server" --script "$work/script.json" --log "$work/requests.log"
LANTERNIX_TEST_PORT=$port \
LANTERNIX_TEST_SCRIPT=$(windows_path "$work/script.json") \
LANTERNIX_TEST_LOG=$(windows_path "$work/requests.log") \
  "$wine_run" "$exe" --gtest_filter='FaultServer*' --gtest_brief=1
