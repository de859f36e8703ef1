#!/usr/bin/env bash
# Requests per second and CPU per request of tivra beside nginx (one worker, keep-alive off)
# serving the same bytes, one request per connection ("Connection: close"), interleaved
# (tivra, nginx, tivra, nginx...) so both see the same load of the machine, REPS times per
# endpoint: the bare empty KML answer of a GPS endpoint with no source, a KmlServer overlay
# document, the default endpoint and a stored tile (ImageServer F00). Every answer's bytes are
# checked by conn_load (epoll, one thread, like wrk -t1); the endpoints that answer with a status
# line are also loaded by wrk itself, each answer checked before the run and its non-2xx and
# socket error counts after it. CPU is the
# server processes' utime + stime from /proc before and after each run. Then tivra's resident
# memory after a burst of 10,000 requests and 60 s later.
#   bench/server_load.sh [SECONDS] [CONNECTIONS] [REPS]
# Needs: scripts/install-deps.sh --bench (nginx-light, wrk, imagemagick). Uses ports 18080/18081 on 127.0.0.1.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-5}
conns=${2:-16}
reps=${3:-3}
source bench/lib.sh
bench_build tivra conn_load
bench_workdir
printf '<?xml version="1.0" encoding="UTF-8"?>\n<kml xmlns="http://earth.google.com/kml/2.1">\n<Document>\n<visibility>0</visibility>\n</Document>\n</kml>\n' > "$work/empty.kml"
cp "$work/empty.kml" "$work/www/GPSServer"
# The tile source is nginx itself: the first request stores the tile, later ones read the store.
# A map-like tile of about 23 KB.
convert -size 256x256 -seed 7 plasma:fractal -blur 0x3 -colors 32 -depth 8 "$work/www/tile.png"
bench_nginx application/vnd.google-earth.kml+xml 18081
bench_tivra 'TcpPort=18080\r\nTileUrl=http://127.0.0.1:18081/tile.png?{x}\r\n'
tivra_pid=$!

kml_query="/KmlServer?BBOX=115.9,39.6,116.9,40.2,116.39,39.9,30000,0,0,60,40,1024,768"
curl -s --http0.9 "http://127.0.0.1:18080$kml_query" > "$work/www/KmlServer"
grep -q "<GroundOverlay>" "$work/www/KmlServer" || bench_fail "KmlServer answers no overlays"
bench_expect "http://127.0.0.1:18080/GPSServer" "$work/empty.kml"
default_query="/?x=116.39,39.9,5"
curl -s "http://127.0.0.1:18080$default_query" > "$work/www/index.html"
grep -q "<GroundOverlay>" "$work/www/index.html" || bench_fail "the default endpoint answers no overlay"
bench_expect "http://127.0.0.1:18081/index.html" "$work/www/index.html"
tile_query="/ImageServer/F00/x=1%38&y=1%30&zoom=12"
bench_expect "http://127.0.0.1:18080$tile_query" "$work/www/tile.png"
bench_expect "http://127.0.0.1:18081/tile.png" "$work/www/tile.png"
mv "$work/www/tile.png" "$work/www/tile-stored.png"  # from now on only the store has it
bench_expect "http://127.0.0.1:18080$tile_query" "$work/www/tile-stored.png"
cp "$work/www/tile-stored.png" "$work/www/tile.png"
mv "$work/www/tile-stored.png" "$work/tile.png"

# cpu_ticks PID...: user + system clock ticks of the processes so far.
cpu_ticks() {
  local pid total=0
  for pid in "$@"; do
    total=$((total + $(sed 's/.*) //' "/proc/$pid/stat" | awk '{ print $12 + $13 }')))
  done
  echo "$total"
}
nginx_pids=$(pgrep -P "$(cat "$work/nginx.pid")" | tr '\n' ' ')
nginx_pids="$(cat "$work/nginx.pid") $nginx_pids"
hz=$(getconf CLK_TCK)
results="$work/results"
: > "$results"

# measure NAME TOOL PORT PATH EXPECTED: one run; appends "NAME TOOL SERVER RPS CPU_MS_PER_1000".
measure() {
  local name=$1 tool=$2 port=$3 path=$4 expected=$5 server pids before after out rps answers
  if [ "$port" = 18080 ]; then server=tivra pids=$tivra_pid; else server=nginx pids=$nginx_pids; fi
  before=$(cpu_ticks $pids)
  if [ "$tool" = conn_load ]; then
    out=$("$build/bench/conn_load" "$port" "$path" "$seconds" "$conns" "$expected") ||
      bench_fail "$server $name: $out"
    rps=$(echo "$out" | awk '{ print $1 }')
    answers=$(echo "$out" | sed 's/.*(\([0-9]*\) answers.*/\1/')
  else
    out=$(wrk -t1 -c"$conns" -d"${seconds}s" -H "Connection: close" "http://127.0.0.1:$port$path")
    # tivra's HTTP/1.1 answers carry no "Connection: close", so wrk counts each close after a
    # whole answer as a read error; any other error, or a status other than 2xx, fails the run.
    ! echo "$out" | grep -qE "Non-2xx|connect [1-9]|write [1-9]|timeout [1-9]" ||
      bench_fail "$server $name (wrk): $out"
    rps=$(echo "$out" | awk '/Requests\/sec/ { printf "%.0f", $2 }')
    answers=$(echo "$out" | awk '/requests in/ { print $1 }')
  fi
  after=$(cpu_ticks $pids)
  local cpu
  cpu=$(awk -v t=$((after - before)) -v hz="$hz" -v n="$answers" 'BEGIN { printf "%.1f", t * 1000 / hz / n * 1000 }')
  printf '%-8s %-9s %s %6s req/s %6s ms CPU/1000 req  load %s\n' "$name" "$tool" "$server" "$rps" "$cpu" \
    "$(cut -d' ' -f1 /proc/loadavg)"
  echo "$name $tool $server $rps $cpu" >> "$results"
}

echo "== $conns connections, ${seconds}s per run, $reps interleaved repetitions; $(nproc) cores"
for rep in $(seq "$reps"); do
  # Each endpoint's tivra run is followed at once by its nginx run.
  for port in 18080 18081; do measure emptyKML conn_load $port /GPSServer "$work/empty.kml"; done
  measure KmlServer conn_load 18080 "$kml_query" "$work/www/KmlServer"
  measure KmlServer conn_load 18081 /KmlServer "$work/www/KmlServer"
  for tool in conn_load wrk; do
    measure default $tool 18080 "$default_query" "$work/www/index.html"
    measure default $tool 18081 /index.html "$work/www/index.html"
    measure F00 $tool 18080 "$tile_query" "$work/tile.png"
    measure F00 $tool 18081 /tile.png "$work/tile.png"
  done
done

echo "== tivra / nginx (min..max of each; ratio range is worst..best pairing)"
awk '{ k = $1 " " $2; v = $3 == "tivra" ? "t" : "n"
       if (!((k, v, "r") in lo) || $4 < lo[k, v, "r"]) lo[k, v, "r"] = $4
       if ($4 > hi[k, v, "r"]) hi[k, v, "r"] = $4
       if (!((k, v, "c") in lo) || $5 < lo[k, v, "c"]) lo[k, v, "c"] = $5
       if ($5 > hi[k, v, "c"]) hi[k, v, "c"] = $5
       keys[k] = 1 }
     END { for (k in keys)
             printf "%-20s req/s %s-%s vs %s-%s (%.2f-%.2fx)  CPU ms/1000 %s-%s vs %s-%s (%.2f-%.2fx)\n", k,
               lo[k, "t", "r"], hi[k, "t", "r"], lo[k, "n", "r"], hi[k, "n", "r"],
               lo[k, "t", "r"] / hi[k, "n", "r"], hi[k, "t", "r"] / lo[k, "n", "r"],
               lo[k, "t", "c"], hi[k, "t", "c"], lo[k, "n", "c"], hi[k, "n", "c"],
               lo[k, "t", "c"] / hi[k, "n", "c"], hi[k, "t", "c"] / lo[k, "n", "c"] }' "$results" | sort

[ -z "${BENCH_NO_RSS:-}" ] || exit 0
# Resident memory: a fresh burst of 10,000 requests over the endpoints, then a quiet minute in
# which parked threads end.
rss() { awk '/VmRSS/ { print $2, $3 }' "/proc/$tivra_pid/status"; }
echo "== tivra resident memory: before the burst $(rss), threads $(ls /proc/$tivra_pid/task | wc -l)"
for endpoint in "/GPSServer $work/empty.kml" "$kml_query $work/www/KmlServer" \
  "$default_query $work/www/index.html" "$tile_query $work/tile.png"; do
  out=$("$build/bench/conn_load" 18080 "${endpoint% *}" 60 "$conns" "${endpoint#* }" 2500) ||
    bench_fail "burst $endpoint: $out"
done
echo "   after 10,000 requests: $(rss), threads $(ls /proc/$tivra_pid/task | wc -l)"
sleep 60
echo "   60 s later: $(rss), threads $(ls /proc/$tivra_pid/task | wc -l)"
