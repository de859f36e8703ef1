#!/usr/bin/env bash
# Time from starting tivra with its window (Qt's offscreen platform) to the window shown and to
# the globe view's first full view (the start view's overlay and its images fetched or failed),
# from the --verbose traces of --ui-snapshot runs; each run shuts down in order.
#   bench/ui_start.sh [RUNS] [-WW]
set -euo pipefail
cd "$(dirname "$0")/.."
runs=${1:-5}
source bench/lib.sh
bench_build tivra
bench_workdir
printf '[settings]\r\nTcpPort=18090\r\n' > "$work/Tivra.ini"
for ((i = 1; i <= runs; i++)); do
  start=$(date +%s%3N)
  QT_QPA_PLATFORM=offscreen XDG_RUNTIME_DIR="$work" "$build/tivra" --verbose \
    --ui-snapshot "$work/ui.png" --data-dir "$work" 2> "$work/err" || { cat "$work/err"; exit 1; }
  shown=$(sed -n 's/.*ui: window shown at \([0-9]*\).*/\1/p' "$work/err")
  full=$(sed -n 's/.*ui: globe view complete at \([0-9]*\).*/\1/p' "$work/err")
  echo "run $i: window shown after $((shown - start)) ms, globe view complete after $((full - start)) ms"
done
