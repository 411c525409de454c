#!/usr/bin/env bash
# Sets everything up, builds, and runs the demo end to end on this machine:
#   1. builds a brick tree of a real MRI head (Debian's mricron-data) with zbmake,
#   2. renders a turntable of it headless with voxa_render (colour map, colour
#      bar with ticks, bounding box, floor) into PNGs, timing every render,
#   3. summarises the render timers with ptodump,
#   4. writes a test movie through the disk spool server (registered and
#      launched on demand on loopback) with spoolwrite,
#   5. renders the first turntable frame again through the interactive render
#      server (voxa_render --host 127.0.0.1, voxa_server launched on demand),
#   6. renders a 24-frame movie of the head on a 2x1 wall with two headless
#      render nodes through a private queue database and the spool server,
#   7. plays the wall (two movie servers, vw) with screenshots and an MP4.
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
echo "== 5. The head rendered by voxa_server (launched on demand) and read back"
"$bin/voxa_server" -RegServer
for dir in "$out" "$PWD/scripts/demo"; do  # the server reads only inside its data roots
  grep -qxF "$dir" "$VOXA_ROOT/spool_roots.txt" 2>/dev/null || echo "$dir" >>"$VOXA_ROOT/spool_roots.txt"
done
"$bin/voxa_render" --host 127.0.0.1 --zb "$out/ch2/ch2.zb" --keys scripts/demo/head.keys \
  --cmap scripts/demo/mri_copper.cmap --amap scripts/demo/mri_copper.amap --size 640x640 \
  --option ShowColorBar=1 --option "AddTick=0 0" --option "AddTick=128 128" \
  --option "AddTick=250 255" \
  --option "BoundingBox=220 220 220 255" --option "Floor=50 55 90 255 0.3 0.25" \
  --out "$out/head_remote.png"
if cmp -s "$out/head_remote.png" "$out/head_0000.png"; then
  echo "head_remote.png is byte-identical to the direct-mode head_0000.png"
else
  echo "demo: head_remote.png differs from head_0000.png" >&2
  exit 1
fi

echo "== 6. Render farm: 24 frames on a 2x1 wall, two headless nodes"
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

# ---- The wall: play the two panel files in step, screenshots, MP4 --------
# Works with panel files made by any means: the farm's (NAME_00, NAME_01 in
# $VOXA_ROOT/data/wall), else a generated test movie stands in.
echo "== 7. The wall: two movie servers on a private Xvfb, played by vw, exported to MP4"
wall_dir="$VOXA_ROOT/data/wall"
wall_w=320 wall_h=256
wall_left="$wall_dir/head_00" wall_right="$wall_dir/head_01"
if [ ! -s "$wall_left" ] || [ ! -s "$wall_right" ]; then
  echo "(no farm movie in $wall_dir: a generated test movie stands in)"
  mkdir -p "$wall_dir"
  wall_left="$wall_dir/test_00" wall_right="$wall_dir/test_01"
  "$bin/reel1" --make-test-movie "$wall_left" $wall_w $wall_h 24
  "$bin/reel1" --make-test-movie "$wall_right" $wall_w $wall_h 24
fi
wall_frames=$(( $(stat -c %s "$wall_left") / (wall_w * wall_h * 3) ))
scripts/with_xvfb.sh scripts/demo/wall.sh "$out" "$wall_left" "$wall_right" $wall_w $wall_h $wall_frames
echo "demo: the wall in $out: wall_play.png (vw --play), wall_dialog.png (the vw dialog), wall.mp4, wall.vw"
echo "demo: outputs in $out (look at $out/head_0000.png, $out/farm_f7_p0.png, $out/wall_play.png, $out/wall.mp4)"
