#!/usr/bin/env bash
# Requests per second of ImageServer for a stored tile, as sent ("F00") and made transparent
# per request ("T00"), beside nginx serving the same tile bytes as a static file with
# keep-alive off, loaded by wrk with "Connection: close" in the same run.
#   bench/image_load.sh [SECONDS] [CONNECTIONS]
# Needs: scripts/install-deps.sh --bench. Uses ports 18090-18092 on 127.0.0.1.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-10}
conns=${2:-16}
source bench/lib.sh
bench_build tivra bench_image
bench_workdir
mkdir -p "$work/www/googlechina" "$work/tiles"
"$build/bench/bench_image" --write-tiles "$work/tiles" >/dev/null
tile=$(ls "$work"/tiles/*.png | head -n 1)
cp "$tile" "$work/www/tile.png"
# 18091 serves the static tile for the comparison; 18092 is the tile source tivra downloads from.
cp "$tile" "$work/www/googlechina/maptile"
bench_nginx image/png 18091 18092
bench_tivra 'TcpPort=18090\r\nTileHost=127.0.0.1:18092\r\n'
query="x=1%30&y=2%30&zoom=5"
grep -qx 'TileHost=127.0.0.1:18092.' "$work/Tivra.ini" || bench_fail "TileHost is not set"
bench_expect "http://127.0.0.1:18092/googlechina/maptile?$query" "$tile"
# The first request downloads and stores the tile; every later one must be that tile from the
# store, not a redirect to the placeholder.
bench_expect "http://127.0.0.1:18090/ImageServer/F00/$query" "$tile"
bench_expect "http://127.0.0.1:18090/ImageServer/F00/$query" "$tile"
bench_expect "http://127.0.0.1:18091/tile.png" "$tile"
curl -s "http://127.0.0.1:18090/ImageServer/T00/$query" | head -c 8 | od -An -tx1 |
  grep -q '89 50 4e 47 0d 0a 1a 0a' || bench_fail "T00 does not answer a PNG"
echo "tile: $(wc -c < "$tile") bytes, $(basename "$tile")"

# Requests/s of URL. An answer other than 2xx/3xx, or a connect, write or time-out error fails
# the run. Read errors are not failures: tivra's answers carry no "Connection: close" (their
# bytes are fixed), so wrk counts the end of every connection as one.
load() {  # URL
  local out
  out=$(wrk -t1 -c"$conns" -d"${seconds}s" -H "Connection: close" "$1")
  if grep -q "Non-2xx" <<<"$out" ||
    grep -qE "Socket errors: connect [1-9]|write [1-9]|timeout [1-9]" <<<"$out"; then
    bench_fail "$1: $(grep -E "Non-2xx|Socket errors" <<<"$out" | tr '\n' ' ')"
  fi
  awk '/Requests\/sec/ { print $2 }' <<<"$out"
}
f00=$(load "http://127.0.0.1:18090/ImageServer/F00/$query")
t00=$(load "http://127.0.0.1:18090/ImageServer/T00/$query")
ngx=$(load "http://127.0.0.1:18091/tile.png")
# Still the stored tile after the load (wrk counts a redirect as a success).
bench_expect "http://127.0.0.1:18090/ImageServer/F00/$query" "$tile"
echo "ImageServer F00 (stored bytes):  $f00 requests/s"
echo "ImageServer T00 (transparency):  $t00 requests/s"
echo "nginx static tile:               $ngx requests/s"
awk -v a="$f00" -v b="$ngx" 'BEGIN { printf "ratio F00/nginx: %.2f\n", a / b }'
