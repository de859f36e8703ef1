#!/usr/bin/env bash
# The globe page in headless chromium (software WebGL), served by tivra --globe web:
#   - page ready to first globe frame (navigation start to the first frame with the globe's
#     tiles loaded),
#   - camera stop to overlay drawn (a jump to Shanghai to the frame after the last overlay image
#     arrived; it includes the overlay link's 2 s viewRefreshTime),
#   - static file requests per second beside nginx serving the same files, one request per
#     connection.
#   bench/globe_page.sh [SECONDS] [CONNECTIONS]
# Needs: scripts/install-deps.sh --bench (nginx-light) and scripts/install-deps.sh (chromium,
# web/node_modules). Uses ports 18090/18091 on 127.0.0.1.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-10}
conns=${2:-16}
source bench/lib.sh
bench_build tivra conn_load
bench_workdir
# No tile source: every overlay image is the placeholder, so the figures are the page's and the
# server's own.
printf '[settings]\r\nTcpPort=18090\r\nTileUrl=file:///nonexistent/{z}/{x}/{y}.png\r\nCameraLongitude=116.39\r\nCameraLatitude=39.9\r\nCameraRange=3000\r\n' > "$work/Tivra.ini"
XDG_RUNTIME_DIR="$work" "$build/tivra" --headless --globe web --data-dir "$work" > "$work/tivra.out" &
for _ in $(seq 100); do
  grep -q "Open http://127.0.0.1:18090/globe/" "$work/tivra.out" && break
  sleep 0.1
done
grep -q "Open http://127.0.0.1:18090/globe/" "$work/tivra.out" || bench_fail "tivra --globe web did not start"

stop_js='new Promise((done) => {
  const t0 = performance.now(), v = tivra.viewer;
  v.camera.setView({ destination: Cesium.Cartesian3.fromDegrees(121.47, 31.23, 3000) });
  v.scene.requestRender();
  const check = () => {
    const seen = performance.getEntriesByType("resource").filter((e) => e.startTime > t0);
    const images = seen.filter((e) => e.name.includes("/ImageServer/") && !e.name.includes("logo"));
    if (seen.some((e) => e.name.includes("KmlServer")) && images.length >= 15 && v.scene.globe.tilesLoaded) {
      const last = Math.max(...images.map((e) => e.responseEnd));
      v.scene.requestRender();
      requestAnimationFrame(() => done((performance.now() - t0).toFixed(0) + " ms (last image at " + (last - t0).toFixed(0) + " ms)"));
    } else setTimeout(check, 20);
  };
  check();
})'
{
  echo '{"op":"open","page":"a","url":"http://127.0.0.1:18090/globe/"}'
  echo '{"op":"wait","page":"a","js":"window.tivra && tivra.firstFrameAt && tivra.entryLoadedAt","ms":120000}'
  echo '{"op":"eval","page":"a","js":"tivra.firstFrameAt.toFixed(0) + \" ms\""}'
  echo '{"op":"eval","page":"a","js":"new Promise((r) => setTimeout(r, 3000))"}'
  printf '{"op":"eval","page":"a","js":%s}\n' "$(node -e 'process.stdout.write(JSON.stringify(process.argv[1]))' "$stop_js")"
} | node tests/web/browser.mjs > "$work/page.out"
ready=$(sed -n 3p "$work/page.out")
stop=$(sed -n 5p "$work/page.out")
[[ $ready == *'"ok":true'* && $stop == *'"ok":true'* ]] || bench_fail "the page: $(cat "$work/page.out")"
echo "page ready to first globe frame: $(sed 's/.*"value":"\(.*\)"}/\1/' <<<"$ready")"
echo "camera stop to overlay drawn: $(sed 's/.*"value":"\(.*\)"}/\1/' <<<"$stop")"

# The same files from nginx: the page's script and a tile of the library's imagery.
mkdir -p "$work/www/globe/cesium/Assets/Textures/NaturalEarthII/0/0"
cp web/page/globe.js "$work/www/globe/globe.js"
cp web/node_modules/cesium/Build/Cesium/Assets/Textures/NaturalEarthII/0/0/0.jpg \
  "$work/www/globe/cesium/Assets/Textures/NaturalEarthII/0/0/0.jpg"
bench_nginx application/octet-stream 18091
for file in globe/globe.js globe/cesium/Assets/Textures/NaturalEarthII/0/0/0.jpg; do
  echo "== /$file ($(wc -c < "$work/www/$file") bytes, conn_load, $conns connections, ${seconds}s each)"
  tivra=$("$build/bench/conn_load" 18090 "/$file" "$seconds" "$conns" "$work/www/$file") ||
    bench_fail "tivra /$file: $tivra"
  ngx=$("$build/bench/conn_load" 18091 "/$file" "$seconds" "$conns" "$work/www/$file") ||
    bench_fail "nginx /$file: $ngx"
  echo "tivra: $tivra"
  echo "nginx: $ngx"
  awk -v a="${tivra%% *}" -v b="${ngx%% *}" 'BEGIN { printf "ratio tivra/nginx: %.2f\n", a / b }'
done
