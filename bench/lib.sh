# Shared steps of the load scripts: a Release build, a work directory, nginx and tivra on
# loopback ports. Source it after `cd` to the repository root.

# bench_build TARGET...: configures build-bench (Release, benchmarks on) and builds the targets.
bench_build() {
  build=build-bench
  cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DTIVRA_BUILD_TESTS=OFF -DTIVRA_BUILD_BENCH=ON >/dev/null
  cmake --build "$build" -j2 --target "$@" >/dev/null
}

# bench_workdir: a temporary directory in $work, removed with nginx and tivra on exit.
bench_workdir() {
  work=$(mktemp -d)
  chmod 755 "$work"  # nginx workers run as another user
  trap 'kill $(jobs -p) 2>/dev/null; nginx -p "$work" -c "$work/nginx.conf" -s stop 2>/dev/null; sleep 0.5; rm -rf "$work"' EXIT
  mkdir -p "$work/logs" "$work/www"
}

# bench_nginx CONTENT_TYPE PORT...: one worker, keep-alive off, serving $work/www on each port.
bench_nginx() {
  local type=$1 servers="" port
  shift
  for port in "$@"; do servers+="  server { listen 127.0.0.1:$port; root $work/www; }"$'\n'; done
  cat > "$work/nginx.conf" <<CONF
worker_processes 1;
pid $work/nginx.pid;
error_log $work/logs/error.log;
events { worker_connections 4096; }
http {
  access_log off;
  keepalive_timeout 0;
  default_type $type;
$servers}
CONF
  nginx -p "$work" -c "$work/nginx.conf"
}

# bench_fail MESSAGE: ends the run loudly; no figure is printed after it.
bench_fail() {
  echo "BENCH FAILED: $*" >&2
  exit 1
}

# bench_tivra SETTINGS: starts tivra without the globe on $work with the given Tivra.ini lines
# (backslash escapes such as \r\n in SETTINGS are written as the bytes they name), and waits
# until it answers on the TcpPort of SETTINGS. TIVRA_BIN names another binary to compare with.
bench_tivra() {
  printf '[settings]\r\n%b' "$1" > "$work/Tivra.ini"
  local port
  port=$(sed -n 's/^TcpPort=\([0-9]*\)\r$/\1/p' "$work/Tivra.ini")
  [ -n "$port" ] || bench_fail "no TcpPort line in the settings: $1"
  XDG_RUNTIME_DIR="$work" "${TIVRA_BIN:-$build/tivra}" --headless -WW --data-dir "$work" &
  for _ in $(seq 50); do
    curl -s --http0.9 -o /dev/null "http://127.0.0.1:$port/GPSServer" && return 0
    sleep 0.1
  done
  bench_fail "tivra does not answer on port $port"
}

# bench_expect URL FILE: the answer body to URL must be FILE's bytes exactly.
bench_expect() {
  curl -s --http0.9 "$1" | cmp -s - "$2" || bench_fail "$1 does not answer the bytes of $2"
}
