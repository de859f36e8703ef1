#!/usr/bin/env bash
# Requests per second of tivra's bare empty KML answer (a GPS endpoint with no source) beside
# nginx serving the same bytes, one request per connection, in the same run.
#   bench/server_load.sh [SECONDS] [CONNECTIONS]
# Needs: scripts/install-deps.sh --bench (nginx-light, wrk). Uses ports 18080/18081 on 127.0.0.1.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-10}
conns=${2:-16}
build=build-bench
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DTIVRA_BUILD_TESTS=OFF -DTIVRA_BUILD_BENCH=ON >/dev/null
cmake --build "$build" -j2 --target tivra conn_load >/dev/null

work=$(mktemp -d)
chmod 755 "$work"  # nginx workers run as another user
trap 'kill $(jobs -p) 2>/dev/null; nginx -p "$work" -c "$work/nginx.conf" -s stop 2>/dev/null; sleep 0.5; rm -rf "$work"' EXIT
printf '<?xml version="1.0" encoding="UTF-8"?>\n<kml xmlns="http://earth.google.com/kml/2.1">\n<Document>\n<visibility>0</visibility>\n</Document>\n</kml>\n' > "$work/empty.kml"
mkdir -p "$work/logs" "$work/www"
cp "$work/empty.kml" "$work/www/GPSServer"
cat > "$work/nginx.conf" <<CONF
worker_processes 1;
pid $work/nginx.pid;
error_log $work/logs/error.log;
events { worker_connections 4096; }
http {
  access_log off;
  keepalive_timeout 0;
  default_type application/vnd.google-earth.kml+xml;
  server { listen 127.0.0.1:18081; root $work/www; }
}
CONF
nginx -p "$work" -c "$work/nginx.conf"
printf '[settings]\r\nTcpPort=18080\r\n' > "$work/Tivra.ini"
XDG_RUNTIME_DIR="$work" "$build/tivra" --headless -WW --data-dir "$work" &
sleep 1

echo "== checked load (conn_load, $conns connections, ${seconds}s each)"
tivra=$("$build/bench/conn_load" 18080 /GPSServer "$seconds" "$conns" "$work/empty.kml" || true)
ngx=$("$build/bench/conn_load" 18081 /GPSServer "$seconds" "$conns" "$work/empty.kml" || true)
echo "tivra: $tivra"
echo "nginx: $ngx"
awk -v a="${tivra%% *}" -v b="${ngx%% *}" 'BEGIN { printf "ratio tivra/nginx: %.2f\n", a / b }'

echo "== wrk, Connection: close (wrk counts tivra's bare answers, which have no status line, as read errors:"
echo "   each is one complete connection; the full-envelope 404 of KmzServer is counted normally)"
wrk -t1 -c"$conns" -d"${seconds}s" -H "Connection: close" http://127.0.0.1:18080/KmzServer/none | grep -E "Requests/sec|Socket errors|requests in"
wrk -t1 -c"$conns" -d"${seconds}s" -H "Connection: close" http://127.0.0.1:18081/GPSServer | grep -E "Requests/sec|Socket errors|requests in"
