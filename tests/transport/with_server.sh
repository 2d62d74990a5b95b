# Sourced by the server test scripts: starts a test server in the background and
# stops it (and waits for it) when the script ends, however it ends.
# start_server WORK_DIR COMMAND... sets $port and $server_pid.
server_pid=""
stop_server() {
  if [ -n "$server_pid" ]; then
    kill "$server_pid" 2>/dev/null || true
    wait "$server_pid" 2>/dev/null || true
    server_pid=""
  fi
}
start_server() {
  out="$1/server.out"; shift
  "$@" >"$out" &
  server_pid=$!
  i=0
  while [ ! -s "$out" ] && [ $i -lt 200 ]; do
    kill -0 "$server_pid" 2>/dev/null || { echo "the test server ended early" >&2; return 1; }
    sleep 0.05; i=$((i + 1))
  done
  port=$(head -n 1 "$out")
  [ -n "$port" ] || { echo "the test server printed no port" >&2; return 1; }
}
# Windows programs under Wine reach Linux files through drive Z:.
windows_path() { echo "Z:$1"; }
