# Sourced by the benchmark scripts after publish_tool.sh, with $bench_name set: a work
# folder under build/ ($work), removed at exit together with the server start_nginx
# started, and the timing helpers.
work=$(mktemp -d "$here/build/bench-$bench_name.XXXXXX")
server_pid=""
cleanup() {
  if [ -n "$server_pid" ]; then kill "$server_pid" 2>/dev/null || true; wait "$server_pid" 2>/dev/null || true; fi
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

now() { date +%s.%N; }
# Seconds since the time $1, with ${2:-3} decimals.
since() { awk -v a="$1" -v b="$(now)" -v d="${2:-3}" 'BEGIN { printf "%.*f", d, b - a }'; }
# Serves the folder $1 with nginx on loopback, logging to $work/nginx/access.log; sets $port.
start_nginx() {
  mkdir -p "$work/nginx"
  mkfifo "$work/port"
  python3 "$here/tests/support/nginx_server.py" --root "$1" --work "$work/nginx" --lifetime 86400 > "$work/port" &
  server_pid=$!
  read -r port < "$work/port"
}
