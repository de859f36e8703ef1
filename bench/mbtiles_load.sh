#!/usr/bin/env bash
# Requests per second of ImageServer for one tile read three ways, beside nginx serving the same
# tile bytes as a static file, all with keep-alive off, loaded by wrk with "Connection: close":
#   F00 store     the tile from the store (downloaded once from nginx, then stored)
#   F00 MBTiles   the tile from an MBTiles file (TileUrl=mbtiles:...) holding 20000 further
#                 tiles, so the lookup walks a real index
#   T00 repeated  the tile made transparent, asked again and again (store and MBTiles)
#   T00 first     a different tile of the MBTiles file on every request: each one processed
#   nginx         the tile as a static file
# The loads run one after the other, round after round, so compared figures see the same load;
# the machine's load average is printed with each round. Every answer must be "200 OK" with the
# expected bytes; a spot check of the bytes runs after each round.
#   bench/mbtiles_load.sh [SECONDS] [CONNECTIONS] [ROUNDS]
# Needs: scripts/install-deps.sh --bench. Uses ports 18093-18095 on 127.0.0.1.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-10}
conns=${2:-16}
rounds=${3:-3}
source bench/lib.sh
bench_build tivra bench_image
bench_workdir
mkdir -p "$work/tiles" "$work/www/googlechina" "$work/store" "$work/mbtiles"
"$build/bench/bench_image" --write-tiles "$work/tiles" >/dev/null
tile=$(ls "$work"/tiles/*.png | head -n 1)
cp "$tile" "$work/www/tile.png"
cp "$tile" "$work/www/googlechina/maptile"  # the tile source of the store's instance
# Tile (18, 10) at z = 5, named by the query below, is TMS row 2^5 - 1 - 10 = 21. The 2000
# tiles of z = 15 at columns 26000-26039 hold the same image: a different name per request.
sqlite3 "$work/area.mbtiles" <<SQL
CREATE TABLE metadata (name text, value text);
CREATE TABLE tiles (zoom_level integer, tile_column integer, tile_row integer, tile_data blob);
CREATE UNIQUE INDEX tile_index ON tiles (zoom_level, tile_column, tile_row);
INSERT INTO metadata VALUES ('format', 'png');
INSERT INTO tiles VALUES (5, 18, 21, readfile('$tile'));
WITH RECURSIVE n(i) AS (SELECT 0 UNION ALL SELECT i + 1 FROM n WHERE i < 19999)
  INSERT INTO tiles SELECT 15, 27000 + i % 200, 20000 + i / 200, randomblob(2000) FROM n;
WITH RECURSIVE n(i) AS (SELECT 0 UNION ALL SELECT i + 1 FROM n WHERE i < 1999)
  INSERT INTO tiles SELECT 15, 26000 + i % 40, 20000 + i / 40, readfile('$tile') FROM n;
SQL
bench_nginx image/png 18095

# One instance per source, each with its own data directory.
start() {  # DIR PORT SETTINGS
  printf '[settings]\r\n%b' "TcpPort=$2\r\n$3" > "$1/Tivra.ini"
  XDG_RUNTIME_DIR="$1" "$build/tivra" --headless -WW --data-dir "$1" &
  for _ in $(seq 50); do
    curl -s --http0.9 -o /dev/null "http://127.0.0.1:$2/GPSServer" && return 0
    sleep 0.1
  done
  bench_fail "tivra does not answer on port $2"
}
declare -A pids  # by port: the process whose CPU time is counted (nginx: its one worker)
start "$work/store" 18093 'TileHost=127.0.0.1:18095\r\n'
pids[18093]=$!
start "$work/mbtiles" 18094 "TileUrl=mbtiles:$work/area.mbtiles\r\n"
pids[18094]=$!
pids[18095]=$(pgrep -P "$(cat "$work/nginx.pid")" | head -n 1)

query="x=1%38&y=1%30&zoom=12"
store="http://127.0.0.1:18093/ImageServer"
mbtiles="http://127.0.0.1:18094/ImageServer"
# The first request downloads and stores the tile; later ones read it from the store.
bench_expect "$store/F00/$query" "$tile"
curl -s "$store/T00/$query" > "$work/t00.png"
head -c 8 "$work/t00.png" | od -An -tx1 | grep -q '89 50 4e 47 0d 0a 1a 0a' ||
  bench_fail "T00 does not answer a PNG"
check() {  # spot check of every source's bytes
  bench_expect "$store/F00/$query" "$tile"
  bench_expect "$mbtiles/F00/$query" "$tile"
  bench_expect "$store/T00/$query" "$work/t00.png"
  bench_expect "$mbtiles/T00/$query" "$work/t00.png"
  bench_expect "$mbtiles/T00/x=2600%37&y=1276%37&zoom=2" "$work/t00.png"
  bench_expect "http://127.0.0.1:18095/tile.png" "$tile"
}
check
echo "tile: $(wc -c < "$tile") bytes, $(basename "$tile"); T00: $(wc -c < "$work/t00.png") bytes;" \
  "MBTiles file: $(wc -c < "$work/area.mbtiles") bytes"

# Every answer must be 200 with the tile's length: a redirect to the placeholder would count as
# a success in wrk's own tally.
# The tally is kept in each wrk thread and summed by done(), which runs apart from them.
tally='
bad = 0
want = tonumber(os.getenv("WANT_BYTES"))
local threads = {}
function setup(thread) table.insert(threads, thread) end
function response(status, headers, body)
  if status ~= 200 or #body ~= want then bad = bad + 1 end
end
function done(summary, latency, requests)
  local total = 0
  for _, thread in ipairs(threads) do total = total + thread:get("bad") end
  io.stderr:write("bad answers: " .. total .. "\n")
end'
echo "$tally" > "$work/check.lua"
# T00 first: the 2000 tiles in turn, each made transparent afresh (far more than are kept).
cat > "$work/distinct.lua" <<'LUA'
local i = 0
function request()
  i = i + 1
  local n = i % 2000
  local path = string.format("/ImageServer/T00/x=%d&y=%d&zoom=2", 26000 + n % 40,
                             32767 - (20000 + math.floor(n / 40)))
  return wrk.format("GET", path)
end
LUA
echo "$tally" >> "$work/distinct.lua"

# CPU time (user + system, clock ticks) of a process so far.
cpu_ticks() {  # PID
  awk '{ print $14 + $15 }' "/proc/$1/stat"
}
tick_ms=$((1000 / $(getconf CLK_TCK)))
# Prints requests/s and, after a slash, the server's CPU milliseconds per 1000 requests.
load() {  # URL WANT_BYTES [SCRIPT]
  local out pid port before
  port=${1#http://127.0.0.1:}
  port=${port%%/*}
  pid=${pids[$port]}
  before=$(cpu_ticks "$pid")
  out=$(WANT_BYTES=$2 wrk -t1 -c"$conns" -d"${seconds}s" -H "Connection: close" \
    -s "${3:-$work/check.lua}" "$1" 2>&1)
  grep -q "^bad answers: 0$" <<<"$out" || bench_fail "$1: $(grep -E "bad answers|Non-2xx" <<<"$out")"
  grep -qE "Socket errors: connect [1-9]|write [1-9]|timeout [1-9]" <<<"$out" &&
    bench_fail "$1: $(grep "Socket errors" <<<"$out")"
  awk -v ticks=$(($(cpu_ticks "$pid") - before)) -v ms="$tick_ms" \
    '/requests in/ { n = $1 } /Requests\/sec/ { printf "%.0f/%.0f", $2, ticks * ms * 1000 / n }' <<<"$out"
}
names=("F00 store" "F00 MBTiles" "T00 store repeated" "T00 MBTiles repeated" "T00 MBTiles first" "nginx")
declare -A figures
tile_bytes=$(wc -c < "$tile")
t00_bytes=$(wc -c < "$work/t00.png")
echo "wrk -t1 -c$conns -d${seconds}s, Connection: close; requests/s"
for round in $(seq "$rounds"); do
  figures["F00 store"]+=" $(load "$store/F00/$query" "$tile_bytes")"
  figures["F00 MBTiles"]+=" $(load "$mbtiles/F00/$query" "$tile_bytes")"
  figures["T00 store repeated"]+=" $(load "$store/T00/$query" "$t00_bytes")"
  figures["T00 MBTiles repeated"]+=" $(load "$mbtiles/T00/$query" "$t00_bytes")"
  figures["T00 MBTiles first"]+=" $(load "$mbtiles/T00/$query" "$t00_bytes" "$work/distinct.lua")"
  figures["nginx"]+=" $(load "http://127.0.0.1:18095/tile.png" "$tile_bytes")"
  check
  echo "round $round done; load average: $(cut -d' ' -f1-3 /proc/loadavg)"
done
# Each row: the rounds' figures (requests/s / CPU ms per 1000 requests), then minimum / median /
# maximum of each.
spread() {  # FIELD (1: requests/s, 2: CPU ms) of the figures on standard input
  tr ' ' '\n' | sed '/^$/d' | cut -d/ -f"$1" | sort -n |
    awk '{ v[NR] = $1 } END { printf "%6d %6d %6d", v[1], v[int((NR + 1) / 2)], v[NR] }'
}
printf '%-22s %-36s %-22s %s\n' "" "rounds (req/s / CPU ms per 1000)" "req/s min med max" \
  "CPU ms min med max"
for name in "${names[@]}"; do
  printf '%-22s %-36s %-22s %s\n' "$name" "${figures[$name]}" "$(spread 1 <<<"${figures[$name]}")" \
    "$(spread 2 <<<"${figures[$name]}")"
done
# Per round, MBTiles beside the store, and repeated T00 beside F00 from the store.
ratio() {  # NAME_A NAME_B
  paste <(tr ' ' '\n' <<<"${figures[$1]}" | sed '/^$/d') <(tr ' ' '\n' <<<"${figures[$2]}" | sed '/^$/d') |
    awk -v label="$1 / $2" '{ r = $1 / $2; s = s sprintf(" %.2f", r) } END { printf "%-44s%s\n", label, s }'
}
ratio "F00 MBTiles" "F00 store"
ratio "T00 store repeated" "F00 store"
ratio "T00 MBTiles first" "F00 store"
ratio "F00 store" "nginx"
ratio "F00 MBTiles" "nginx"
