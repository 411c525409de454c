#!/usr/bin/env bash
# The wall part of the demo, run on an X display (scripts/with_xvfb.sh):
# two movie servers (reel1) on 127.0.0.2 and 127.0.0.3 show the two panel
# files of a 2x1 wall side by side; vw plays them in step (screenshot), the
# vw dialog plays them again (screenshot), and the wall movie is exported
# to MP4.
#
# usage: scripts/demo/wall.sh OUT_DIR LEFT_FILE RIGHT_FILE WIDTH HEIGHT FRAMES
set -euo pipefail
out=$1 left=$2 right=$3 w=$4 h=$5 frames=$6
bin=$PWD/build/bin
port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')
export VOXA_MI_PORT=$port
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null || true; done
}
trap cleanup EXIT
for i in 2 3; do
  "$bin/reel1" --persist --bind "127.0.0.$i" --port "$port" > "$out/reel1_127.0.0.$i.log" 2>&1 &
  pids+=($!)
done
for i in 2 3; do
  for _ in $(seq 200); do
    (exec 3<>"/dev/tcp/127.0.0.$i/$port") 2>/dev/null && break
    sleep 0.05
  done
done

# The panels' windows open where their host tokens say (no window manager
# here), at the top of the screen; the dialog opens in the middle, below them.
cat > "$out/wall.vw" <<VW
# 2x1 wall: one movie server per panel, windows side by side
127.0.0.2:0x0 $left $w $h $frames
127.0.0.3:${w}x0 $right $w $h $frames
VW
shot_size=1000x700

echo "-- vw --play: $frames frames at 8 fps on both panels"
"$bin/vw" --play "$out/wall.vw" --speed 8 --frames "$frames" > "$out/vw_play.txt" &
play=$!
# Screenshot a second into the play.
for _ in $(seq 240); do
  grep -q "^frame " "$out/vw_play.txt" 2>/dev/null && break
  kill -0 $play 2>/dev/null || break
  sleep 0.25
done
"$bin/vw_shot" "$out/wall_play.png" --size "$shot_size" || true
wait $play
cat "$out/vw_play.txt"

echo "-- the vw dialog plays the wall"
"$bin/vw" "$out/wall.vw" -mode play -speed 8 &
dialog=$!
sleep 12  # the servers' first Initialize sets up their rings and windows
"$bin/vw_shot" "$out/wall_dialog.png" --size "$shot_size"
kill $dialog 2>/dev/null || true
wait $dialog 2>/dev/null || true

echo "-- the wall movie as MP4"
"$bin/vw" --export "$out/wall.vw" "$out/wall.mp4" --fps 8
