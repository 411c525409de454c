#!/usr/bin/env bash
# Sets everything up, builds, and runs the demo end to end on this machine:
#   1. builds a brick tree of a real MRI head (Debian's mricron-data) with zbmake,
#   2. renders a turntable of it headless with voxa_render (colour map, colour
#      bar with ticks, bounding box, floor) into PNGs, timing every render,
#   3. summarises the render timers with ptodump,
#   4. writes a test movie through the disk spool server (registered and
#      launched on demand on loopback) with spoolwrite,
#   5. renders a 24-frame movie of the head on a 2x1 wall with two headless
#      render nodes through a private queue database and the spool server.
# Outputs land in demo_out/ (or $VOXA_DEMO_OUT).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
scripts/build.sh
out="${VOXA_DEMO_OUT:-$PWD/demo_out}"
mkdir -p "$out"
export VOXA_ROOT="${VOXA_ROOT:-$out/root}"
mkdir -p "$VOXA_ROOT/data"
bin=$PWD/build/bin
head=/usr/share/mricron/templates/ch2.nii.gz

echo "== 1. Brick tree of the MRI head ($head)"
mkdir -p "$out/ch2"
"$bin/zbmake" "$head" "$out/ch2/ch2.zb"
"$bin/zbmake" --info "$out/ch2/ch2.zb" | head -n 8

echo "== 2. Turntable, 12 frames of 640x640, headless"
rm -f "$out"/head_*.png "$out/head.pto"
"$bin/voxa_render" --zb "$out/ch2/ch2.zb" --keys scripts/demo/head.keys \
  --cmap scripts/demo/mri_copper.cmap --amap scripts/demo/mri_copper.amap \
  --size 640x640 --frames 12 --orbit 58,0 \
  --option ShowColorBar=1 --option "AddTick=0 0" --option "AddTick=128 128" \
  --option "AddTick=250 255" \
  --option "BoundingBox=220 220 220 255" --option "Floor=50 55 90 255 0.3 0.25" \
  --timers "$out/head.pto" --out "$out/head.png" --verbose | grep -v "^voxa_render: frame:"
ls "$out"/head_*.png | head -n 3

echo "== 3. Where the render time went (ptodump)"
"$bin/ptodump" "$out/head.pto"

echo "== 4. A movie through the disk spool server"
"$bin/spool" -RegServer
"$bin/spoolwrite" 127.0.0.1 "$VOXA_ROOT/data/m.raw"
ls -l "$VOXA_ROOT/data/m.raw"

echo "== 5. Render farm: 24 frames on a 2x1 wall, two headless nodes"
scripts/queue_db.sh start
mkdir -p "$VOXA_ROOT/data/wall"
"$bin/voxa_movie" delete head >/dev/null 2>&1 || true
"$bin/voxa_movie" create head --zb "$out/ch2/ch2.zb" --orbit 24,15,0 --keys scripts/demo/farm.keys \
  --wall 2x1 --panel 320x256 --dest "127.0.0.1:$VOXA_ROOT/data/wall"
rm -f "$VOXA_ROOT/DEBUG_SCR1.txt"
"$bin/voxa_saver" -headless -geometry 320x256 --until-idle --node-name node1 &
n1=$!
"$bin/voxa_saver" -headless -geometry 320x256 --until-idle --node-name node2 &
n2=$!
wait "$n1" "$n2"
"$bin/voxa_movie" status head
"$bin/voxa_render" --movie head --frame 7 --panel 0 --size 320x256 --out "$out/farm_f7_p0.png"
ls -l "$VOXA_ROOT/data/wall"
scripts/queue_db.sh stop
echo "demo: outputs in $out (look at $out/head_0000.png and $out/farm_f7_p0.png)"
