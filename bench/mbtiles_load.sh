#!/usr/bin/env bash
# Requests per second of ImageServer ("F00") for a tile read from an MBTiles file, beside nginx
# serving the same tile bytes as a static file, both with keep-alive off, loaded by wrk with
# "Connection: close" in the same run. The file holds 20000 further tiles so the lookup walks a
# real index.
#   bench/mbtiles_load.sh [SECONDS] [CONNECTIONS]
# Needs: scripts/install-deps.sh --bench. Uses ports 18093-18094 on 127.0.0.1.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-10}
conns=${2:-16}
source bench/lib.sh
bench_build tivra bench_image
bench_workdir
mkdir -p "$work/tiles"
"$build/bench/bench_image" --write-tiles "$work/tiles" >/dev/null
tile=$(ls "$work"/tiles/*.png | head -n 1)
cp "$tile" "$work/www/tile.png"
# Tile (18, 10) at z = 5, named by the query below, is TMS row 2^5 - 1 - 10 = 21.
sqlite3 "$work/area.mbtiles" <<SQL
CREATE TABLE metadata (name text, value text);
CREATE TABLE tiles (zoom_level integer, tile_column integer, tile_row integer, tile_data blob);
CREATE UNIQUE INDEX tile_index ON tiles (zoom_level, tile_column, tile_row);
INSERT INTO metadata VALUES ('format', 'png');
INSERT INTO tiles VALUES (5, 18, 21, readfile('$tile'));
WITH RECURSIVE n(i) AS (SELECT 0 UNION ALL SELECT i + 1 FROM n WHERE i < 19999)
  INSERT INTO tiles SELECT 15, 27000 + i % 200, 20000 + i / 200, randomblob(2000) FROM n;
SQL
bench_nginx image/png 18094
# Written here with %b so that the \r\n between the settings become line ends.
printf '[settings]\r\n%b' "TcpPort=18093\r\nTileUrl=mbtiles:$work/area.mbtiles\r\n" > "$work/Tivra.ini"
XDG_RUNTIME_DIR="$work" "$build/tivra" --headless -WW --data-dir "$work" &
sleep 1
query="x=1%38&y=1%30&zoom=12"
curl -s -o "$work/served.png" "http://127.0.0.1:18093/ImageServer/F00/$query"
cmp -s "$work/served.png" "$tile" || { echo "ImageServer did not serve the MBTiles tile" >&2; exit 1; }
echo "tile: $(wc -c < "$tile") bytes, $(basename "$tile"); MBTiles file: $(wc -c < "$work/area.mbtiles") bytes"

load() {  # URL
  wrk -t1 -c"$conns" -d"${seconds}s" -H "Connection: close" "$1" |
    awk '/Requests\/sec/ { print $2 } /Non-2xx/ { print "non-2xx:", $0 > "/dev/stderr" }'
}
f00=$(load "http://127.0.0.1:18093/ImageServer/F00/$query")
ngx=$(load "http://127.0.0.1:18094/tile.png")
echo "ImageServer F00 (MBTiles tile): $f00 requests/s"
echo "nginx static tile:              $ngx requests/s"
awk -v a="$f00" -v b="$ngx" 'BEGIN { printf "ratio F00/nginx: %.2f\n", a / b }'
