#!/usr/bin/env bash
# Makes docs/window.png, the README's picture of the window: the program's own --ui-snapshot on
# Qt's offscreen platform, with the four pages and a street map in the globe view. The map is a
# made-up town drawn here with ImageMagick (install-deps.sh --bench installs it) into a tile
# directory that TileUrl names; no map service is asked.
#   bash scripts/window-picture.sh [build-dir]      (default build/, with build/tivra built)
set -euo pipefail
cd "$(dirname "$0")/.."
build="${1:-build}"
command -v convert >/dev/null || { echo "window-picture: needs ImageMagick's convert" >&2; exit 1; }
[[ -x "$build/tivra" ]] || { echo "window-picture: no $build/tivra" >&2; exit 1; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# The view: a town at these coordinates seen from this range (metres).
lon=116.39 lat=39.91 range=4500
zooms="14 15 16"
font=$(fc-match -f '%{file}' 'WenQuanYi Micro Hei' 2>/dev/null || true)

# One canvas per zoom around the centre, in that zoom's pixels, cut into 256-pixel tiles. The
# town is laid out in metres east and north of the centre.
for z in $zooms; do
  read -r x0 y0 nx ny cx cy scale < <(awk -v lon="$lon" -v lat="$lat" -v z="$z" 'BEGIN {
    pi = atan2(0, -1); n = 256 * 2 ^ z
    px = (lon + 180) / 360 * n
    r = lat * pi / 180
    py = (1 - log(sin(r) / cos(r) + 1 / cos(r)) / pi) / 2 * n
    half = 5                                    # tiles each side of the centre tile
    x0 = int(px / 256) - half; y0 = int(py / 256) - half
    printf "%d %d %d %d %.1f %.1f %.6f\n", x0, y0, 2 * half + 1, 2 * half + 1,
           px - 256 * x0, py - 256 * y0, n / (40075016.686 * cos(r))
  }')
  awk -v cx="$cx" -v cy="$cy" -v s="$scale" -v z="$z" -v font="$font" '
    function X(e) { return cx + e * s }
    function Y(n) { return cy - n * s }
    function w(m, least) { return (m * s < least) ? least : m * s }
    function line(style, colour, width, e1, n1, e2, n2) {
      printf "stroke %s stroke-width %.2f stroke-linecap %s line %.1f,%.1f %.1f,%.1f\n",
             colour, width, style, X(e1), Y(n1), X(e2), Y(n2)
    }
    function road(e1, n1, e2, n2, metres, least, casing, fill) {
      line("round", casing, w(metres, least) + 2, e1, n1, e2, n2)
      roads[++nr] = sprintf("%s|%.2f|%.2f|%.2f|%.2f|%.2f", fill, w(metres, least), e1, n1, e2, n2)
    }
    function label(text, e, n, size, colour) {
      if (font == "") return
      printf "stroke none fill %s font \"%s\" font-size %.1f text %.1f,%.1f \"%s\"\n",
             colour, font, size, X(e), Y(n), text
    }
    BEGIN {
      printf "viewbox 0 0 %d %d\n", 256 * 11, 256 * 11
      printf "fill #f0ece2 stroke none rectangle 0,0 %d,%d\n", 256 * 11, 256 * 11
      # Blocks between the streets, a shade darker at close range.
      if (z >= 14)
        for (e = -12000; e < 12000; e += 400)
          for (n = -12000; n < 12000; n += 400)
            printf "fill %s stroke none rectangle %.1f,%.1f %.1f,%.1f\n",
                   ((e * 7 + n * 13) % 3 == 0) ? "#ddd5c6" : "#e6dfd2",
                   X(e + 40), Y(n + 360), X(e + 360), Y(n + 40)
      # Streets every 400 m (their casings first, so crossings join), avenues every 1600 m, two
      # ring roads and a diagonal expressway.
      if (z >= 14) {
        for (v = -12000; v <= 12000; v += 400) {
          line("butt", "#d8d0c2", w(14, 1) + 2, v, -12000, v, 12000)
          line("butt", "#d8d0c2", w(14, 1) + 2, -12000, v, 12000, v)
        }
        for (v = -12000; v <= 12000; v += 400) {
          line("butt", "#ffffff", w(14, 1), v, -12000, v, 12000)
          line("butt", "#ffffff", w(14, 1), -12000, v, 12000, v)
        }
      }
      # Parks and a lake.
      printf "fill #c8e2b0 stroke none rectangle %.1f,%.1f %.1f,%.1f\n", X(-2800), Y(2800), X(-1200), Y(1600)
      printf "fill #c8e2b0 stroke none ellipse %.1f,%.1f %.1f,%.1f 0,360\n", X(4300), Y(-3100), 1300 * s, 900 * s
      printf "fill #c8e2b0 stroke none rectangle %.1f,%.1f %.1f,%.1f\n", X(800), Y(5200), X(2400), Y(4000)
      printf "fill #9fc6e4 stroke none ellipse %.1f,%.1f %.1f,%.1f 0,360\n", X(4300), Y(-3000), 700 * s, 420 * s
      # The river, winding west to east.
      path = ""
      for (e = -14000; e <= 14000; e += 250) path = path sprintf(" %.1f,%.1f", X(e), Y(1400 * sin(e / 3100) - 800))
      printf "fill none stroke #9fc6e4 stroke-width %.2f stroke-linejoin round polyline%s\n", w(160, 3), path
      for (v = -11200; v <= 11200; v += 1600) {
        road(v, -12000, v, 12000, 30, 2, "#d6c8a8", "#fdf3c8")
        road(-12000, v, 12000, v, 30, 2, "#d6c8a8", "#fdf3c8")
      }
      for (k = 1; k <= 2; k++) {
        d = k * 3600
        road(-d, -d, d, -d, 50, 3, "#c99a4a", "#f6c36a"); road(d, -d, d, d, 50, 3, "#c99a4a", "#f6c36a")
        road(d, d, -d, d, 50, 3, "#c99a4a", "#f6c36a"); road(-d, d, -d, -d, 50, 3, "#c99a4a", "#f6c36a")
      }
      road(-12000, -9000, 12000, 9500, 60, 3, "#b9764a", "#ef9a5e")
      # Fills over every casing.
      for (i = 1; i <= nr; i++) {
        split(roads[i], r, "|")
        line("round", r[1], r[2], r[3], r[4], r[5], r[6])
      }
      size = (z >= 15) ? 15 : (z == 14 ? 13 : 11)
      label("滨河路", -6500, 1400 * sin(-6500 / 3100) - 620, size, "#3d6f99")
      label("东湖公园", 3700, -2300, size, "#3f7a2c")
      label("人民公园", -2700, 2200, size, "#3f7a2c")
      label("老城区", -1000, -500, size + 4, "#6b5a48")
      label("新区", 5200, 5200, size + 4, "#6b5a48")
      label("二环路", -3500, 3700, size, "#8a5a1a")
      label("机场高速", 8000, 6500, size, "#8a4a2a")
    }' >"$work/town-$z.mvg"
  convert -size $((256 * nx))x$((256 * ny)) "mvg:$work/town-$z.mvg" -depth 8 \
    -crop 256x256 +repage "PNG24:$work/tile-$z-%d.png"
  for ((j = 0; j < ny; j++)); do
    for ((i = 0; i < nx; i++)); do
      mkdir -p "$work/tiles/$z/$((x0 + i))"
      mv "$work/tile-$z-$((j * nx + i)).png" "$work/tiles/$z/$((x0 + i))/$((y0 + j)).png"
    done
  done
done

port=$(node -e 'const s = require("net").createServer().listen(0, "127.0.0.1",
  () => { console.log(s.address().port); s.close(); });')
printf '[settings]\r\nTcpPort=%s\r\nTileUrl=file://%s/tiles/{z}/{x}/{y}.png\r\nCameraLongitude=%s\r\nCameraLatitude=%s\r\nCameraRange=%s\r\nTransParency=90\r\n' \
  "$port" "$work" "$lon" "$lat" "$range" >"$work/Tivra.ini"
QT_QPA_PLATFORM=offscreen XDG_RUNTIME_DIR="$work" \
  "$build/tivra" --ui-snapshot docs/window.png --data-dir "$work"
echo "window-picture: docs/window.png"
