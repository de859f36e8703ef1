#!/bin/sh
# Runs the transparency job on the same 256 x 256 tiles with our code, ImageMagick and libvips
# in one run, and prints milliseconds per tile.
#
# The job, at range digit 0 and colour digit 0: decode, make every pixel whose colour is one
# of the 23 background colours transparent and every other pixel opaque, write RGBA PNG.
#
# usage: bench/image_compare.sh BUILD_DIR [COUNT]
#   BUILD_DIR  a build configured with -DTIVRA_BUILD_BENCH=ON (Release), bench_image built
#   COUNT      tiles per tool (default 40; libvips runs COUNT/10, its CLI needs ~70 processes
#              per tile)
# needs: convert and mogrify (Debian imagemagick), vips (Debian libvips-tools)
set -eu

build=${1:?usage: $0 BUILD_DIR [COUNT]}
count=${2:-40}
bench="$build/bench/bench_image"
[ -x "$bench" ] || { echo "no $bench: build the bench_image target first" >&2; exit 1; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT INT TERM
"$bench" --write-tiles "$work"

colours="#EBE6DC #E8E3D8 #A6CB94 #98B2CB #EBE7DD #F1EEE8 #EFF0F1 #EFECE5 #F8FBF4 #F3E3F3
#F4F4FB #FAF5FA #E6E2D9 #E6E3DA #E6E7E9 #EBE8E3 #639EBD #E2E3E4 #EBE7E7 #E8E9EA #E9E9E9
#F1EEE8 #D9D9D9"

# Call ImageMagick itself, not a wrapper script in front of it, when it is installed.
im_convert=$(command -v convert-im6.q16 || command -v convert)
im_mogrify=$(command -v mogrify-im6.q16 || command -v mogrify)

now_ns() { date +%s%N; }
per_tile() { # start_ns end_ns count -> ms per tile
  echo "$1 $2 $3" | awk '{ printf "%.3f", ($2 - $1) / 1e6 / $3 }'
}

transparent_args=""
for c in $colours; do transparent_args="$transparent_args -transparent $c"; done

echo "== tiles"
ls -l "$work"

echo "== ours (Google Benchmark, CPU column, decode + ProcessPixels + PNG encode, range digit 0)"
"$bench" --benchmark_filter='BM_Transparent|BM_PngDecodeEncodeFloor' --benchmark_min_time=1

for tile in tile.png tile_palette.png tile.jpg; do
  echo "== ImageMagick, $tile"
  # One process per tile, as a shell-out per request would do.
  start=$(now_ns)
  i=0
  while [ $i -lt "$count" ]; do
    # shellcheck disable=SC2086  # the option list is meant to split
    "$im_convert" "$work/$tile" $transparent_args "PNG32:$work/im_out.png"
    i=$((i + 1))
  done
  end=$(now_ns)
  echo "convert, one process per tile:   $(per_tile "$start" "$end" "$count") ms/tile"

  # One process for all tiles: the per-image cost without start-up.
  mkdir -p "$work/batch" "$work/batch_out"
  i=0
  while [ $i -lt "$count" ]; do
    cp "$work/$tile" "$work/batch/t$i.${tile##*.}"
    i=$((i + 1))
  done
  start=$(now_ns)
  # shellcheck disable=SC2086
  "$im_mogrify" -path "$work/batch_out" -format png $transparent_args \
    -define png:color-type=6 "$work/batch/"*
  end=$(now_ns)
  echo "mogrify, one process for all:    $(per_tile "$start" "$end" "$count") ms/tile"
  rm -rf "$work/batch" "$work/batch_out"

  # Floor: decode and encode only.
  start=$(now_ns)
  i=0
  while [ $i -lt "$count" ]; do
    "$im_convert" "$work/$tile" "PNG32:$work/im_out.png"
    i=$((i + 1))
  done
  end=$(now_ns)
  echo "convert, decode + encode only:   $(per_tile "$start" "$end" "$count") ms/tile"
done

vips_count=$((count / 10 > 0 ? count / 10 : 1))
for tile in tile.png tile_palette.png tile.jpg; do
  echo "== libvips CLI, $tile"
  start=$(now_ns)
  i=0
  while [ $i -lt "$vips_count" ]; do
    # Decode to vips' own format, keeping the three colour bands.
    vips extract_band "$work/$tile" "$work/in.v" 0 --n 3
    first=1
    for c in $colours; do
      rgb=$(printf '%d %d %d' "0x$(echo "$c" | cut -c2-3)" "0x$(echo "$c" | cut -c4-5)" \
        "0x$(echo "$c" | cut -c6-7)")
      vips relational_const "$work/in.v" "$work/eq.v" equal "$rgb"
      vips bandbool "$work/eq.v" "$work/m.v" and
      if [ $first -eq 1 ]; then
        mv "$work/m.v" "$work/acc.v"
        first=0
      else
        vips boolean "$work/acc.v" "$work/m.v" "$work/acc2.v" or
        mv "$work/acc2.v" "$work/acc.v"
      fi
    done
    vips invert "$work/acc.v" "$work/alpha.v"
    vips bandjoin "$work/in.v $work/alpha.v" "$work/vips_out.png"
    i=$((i + 1))
  done
  end=$(now_ns)
  echo "vips, ~70 CLI calls per tile:    $(per_tile "$start" "$end" "$vips_count") ms/tile"
  start=$(now_ns)
  i=0
  while [ $i -lt "$count" ]; do
    vips copy "$work/$tile" "$work/vips_copy.png"
    i=$((i + 1))
  done
  end=$(now_ns)
  echo "vips copy, decode + encode only: $(per_tile "$start" "$end" "$count") ms/tile"
done
