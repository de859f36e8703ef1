#!/usr/bin/env bash
# Requests per second and CPU per request of tivra beside nginx (one worker, keep-alive off)
# serving the same bytes, one request per connection ("Connection: close"), REPS times per
# endpoint: the bare empty KML answer of a GPS endpoint with no source, a KmlServer overlay
# document, the default endpoint and a stored tile (ImageServer F00). Each tivra run has an
# nginx run beside it (which goes first alternates), and the summary sets each against its own
# pair. Every answer's bytes are checked by conn_load (epoll, one thread, like wrk -t1); the
# endpoints that answer with a status line are also loaded by wrk itself, each answer checked
# before the run and its non-2xx and socket error counts after it. CPU is the server processes'
# utime + stime from /proc before and after each run. Then tivra's resident memory after a
# burst of 10,000 requests and 60 s later.
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

# pair NAME TOOL TIVRA_PATH NGINX_PATH EXPECTED: one run of each server, one straight after the other;
# which one goes first alternates with the repetition, so neither always meets the machine
# as the other left it.
pair() {
  if [ $((rep % 2)) = 1 ]; then
    measure "$1" "$2" 18080 "$3" "$5"
    measure "$1" "$2" 18081 "$4" "$5"
  else
    measure "$1" "$2" 18081 "$4" "$5"
    measure "$1" "$2" 18080 "$3" "$5"
  fi
}

echo "== $conns connections, ${seconds}s per run, $reps interleaved repetitions; $(nproc) cores"
for rep in $(seq "$reps"); do
  pair emptyKML conn_load /GPSServer /GPSServer "$work/empty.kml"
  pair KmlServer conn_load "$kml_query" /KmlServer "$work/www/KmlServer"
  for tool in conn_load wrk; do
    pair default $tool "$default_query" /index.html "$work/www/index.html"
    pair F00 $tool "$tile_query" /tile.png "$work/tile.png"
  done
done

# Each run of tivra is set against the nginx run of its own pair: the machine's load drifts
# more between repetitions than between two runs side by side.
echo "== tivra / nginx, paired per repetition (req/s: above 1 is faster; CPU per request: below 1 is cheaper)"
awk '{ k = $1 " " $2; n = ++count[k, $3]; v[k, $3, n, "r"] = $4; v[k, $3, n, "c"] = $5; keys[k] = 1 }
     function median(a, m,   i, j, t) {
       for (i = 2; i <= m; i++) for (j = i; j > 1 && a[j - 1] > a[j]; j--) { t = a[j]; a[j] = a[j - 1]; a[j - 1] = t }
       return m % 2 ? a[(m + 1) / 2] : (a[m / 2] + a[m / 2 + 1]) / 2 }
     END { for (k in keys) {
             m = count[k, "tivra"]; rl = ""; cl = ""
             for (i = 1; i <= m; i++) {
               r[i] = v[k, "tivra", i, "r"] / v[k, "nginx", i, "r"]; c[i] = v[k, "tivra", i, "c"] / v[k, "nginx", i, "c"]
               rl = rl sprintf(" %.2f", r[i]); cl = cl sprintf(" %.2f", c[i]) }
             printf "%-20s req/s%s (median %.2f)  CPU%s (median %.2f)\n", k, rl, median(r, m), cl, median(c, m) } }' \
  "$results" | sort

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
