#!/usr/bin/env bash
# Time from starting tivra with its window (Qt's offscreen platform) to the window shown and to
# the globe view's first full view (the start view's overlay and its images fetched or failed),
# read from the --verbose traces. With the globe, --ui-snapshot runs (they end by themselves);
# without it (-WW), runs ended by SIGTERM once the window is shown. With the globe, the window
# shows during the 300 ms wait after the entry document is handed to the globe (a timer).
#   bench/ui_start.sh [RUNS]
set -euo pipefail
cd "$(dirname "$0")/.."
runs=${1:-5}
source bench/lib.sh
bench_build tivra
bench_workdir
trace() {  # NAME: the wall-clock milliseconds of a trace line in $work/err
  sed -n "s/.*ui: $1 at \([0-9]*\).*/\1/p" "$work/err"
}
printf '[settings]\r\nTcpPort=18090\r\n' > "$work/Tivra.ini"
echo "== with the globe"
for ((i = 1; i <= runs; i++)); do
  start=$(date +%s%3N)
  QT_QPA_PLATFORM=offscreen XDG_RUNTIME_DIR="$work" "$build/tivra" --verbose \
    --ui-snapshot "$work/ui.png" --data-dir "$work" 2> "$work/err" || { cat "$work/err"; exit 1; }
  echo "run $i: window shown after $(($(trace "window shown") - start)) ms," \
    "globe view complete after $(($(trace "globe view complete") - start)) ms"
done
echo "== without the globe (-WW)"
for ((i = 1; i <= runs; i++)); do
  # Emptied first: the background job opens it later, and the last run's line must not count.
  : > "$work/err"
  start=$(date +%s%3N)
  QT_QPA_PLATFORM=offscreen XDG_RUNTIME_DIR="$work" "$build/tivra" -WW --verbose \
    --data-dir "$work" 2> "$work/err" &
  pid=$!
  for ((k = 0; k < 100; k++)); do
    grep -q "window shown" "$work/err" && break
    sleep 0.05
  done
  kill -TERM "$pid"
  wait "$pid"
  echo "run $i: window shown after $(($(trace "window shown") - start)) ms"
done
