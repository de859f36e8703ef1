#!/usr/bin/env bash
# Requests per second of tivra beside nginx serving the same bytes, one request per connection,
# in the same run: the bare empty KML answer of a GPS endpoint with no source, and a KmlServer
# overlay document.
#   bench/server_load.sh [SECONDS] [CONNECTIONS]
# Needs: scripts/install-deps.sh --bench (nginx-light, wrk). Uses ports 18080/18081 on 127.0.0.1.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-10}
conns=${2:-16}
source bench/lib.sh
bench_build tivra conn_load
bench_workdir
printf '<?xml version="1.0" encoding="UTF-8"?>\n<kml xmlns="http://earth.google.com/kml/2.1">\n<Document>\n<visibility>0</visibility>\n</Document>\n</kml>\n' > "$work/empty.kml"
cp "$work/empty.kml" "$work/www/GPSServer"
bench_nginx application/vnd.google-earth.kml+xml 18081
bench_tivra 'TcpPort=18080\r\n'

kml_query="/KmlServer?BBOX=115.9,39.6,116.9,40.2,116.39,39.9,30000,0,0,60,40,1024,768"
curl -s --http0.9 "http://127.0.0.1:18080$kml_query" > "$work/www/KmlServer"
grep -q "<GroundOverlay>" "$work/www/KmlServer" || bench_fail "KmlServer answers no overlays"
bench_expect "http://127.0.0.1:18080/GPSServer" "$work/empty.kml"

compare() {  # PATH EXPECTED_FILE
  local tivra ngx
  tivra=$("$build/bench/conn_load" 18080 "$1" "$seconds" "$conns" "$2") ||
    bench_fail "tivra $1: $tivra"
  ngx=$("$build/bench/conn_load" 18081 "$1" "$seconds" "$conns" "$2") || bench_fail "nginx $1: $ngx"
  echo "tivra: $tivra"
  echo "nginx: $ngx"
  awk -v a="${tivra%% *}" -v b="${ngx%% *}" 'BEGIN { printf "ratio tivra/nginx: %.2f\n", a / b }'
}
echo "== empty KML document (conn_load, $conns connections, ${seconds}s each)"
compare /GPSServer "$work/empty.kml"
echo "== KmlServer overlay, $(wc -c < "$work/www/KmlServer") bytes"
compare "$kml_query" "$work/www/KmlServer"

# wrk needs a status line, so it loads the default endpoint, whose answer is a full response
# with Content-Length; nginx serves the same body.
default_query="/?x=116.39,39.9,5"
curl -s "http://127.0.0.1:18080$default_query" > "$work/www/index.html"
grep -q "<GroundOverlay>" "$work/www/index.html" || bench_fail "the default endpoint answers no overlay"
bench_expect "http://127.0.0.1:18081/index.html" "$work/www/index.html"
echo "== wrk, Connection: close, default endpoint ($(wc -c < "$work/www/index.html") byte body)"
for port in 18080 18081; do
  echo "port $port: $(wrk -t1 -c"$conns" -d"${seconds}s" -H "Connection: close" "http://127.0.0.1:$port$default_query" | grep -E "Requests/sec|Socket errors|Non-2xx" | tr '\n' ' ')"
done
