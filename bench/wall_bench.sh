#!/usr/bin/env bash
# Three headless movie servers (reel1) on 127.0.0.2-4 play a 320x240 movie
# at 30 fps for 20 s under one controller; every 200 ms all panels' status
# is sampled at once: the largest difference between panels (in frames),
# late and skipped frames. Then the wall movie is exported to MP4, beside a
# baseline run that only reads and tiles the same frames.
#
# usage: bench/wall_bench.sh [BUILD_DIR] [SECONDS] [FPS]
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
seconds=${2:-20}
fps=${3:-30}
for p in reel1 wall_bench; do
  [ -x "$build/bin/$p" ] || { echo "wall_bench: $build/bin/$p is missing (build it first)" >&2; exit 2; }
done

work=$(mktemp -d /tmp/wall_bench.XXXXXX)
port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')
export VOXA_MI_PORT=$port
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null || true; done
  rm -rf "$work"
}
trap cleanup EXIT

: > "$work/wall.vw"
for i in 0 1 2; do
  root="$work/root$i"
  mkdir -p "$root/data"
  VOXA_ROOT=$root "$build/bin/reel1" --make-test-movie "$root/data/m.raw" 320 240 300 > /dev/null
  VOXA_ROOT=$root "$build/bin/reel1" --headless --persist --bind "127.0.0.$((i + 2))" --port "$port" \
    > "$work/reel$i.log" 2>&1 &
  pids+=($!)
  echo "127.0.0.$((i + 2)):$((320 * i))x0 $root/data/m.raw 320 240 300" >> "$work/wall.vw"
done
for i in 0 1 2; do
  for _ in $(seq 200); do
    (exec 3<>"/dev/tcp/127.0.0.$((i + 2))/$port") 2>/dev/null && break
    sleep 0.05
  done
done

echo "== wall in step: 3 panels, $seconds s at $fps fps"
"$build/bin/wall_bench" --play "$work/wall.vw" "$seconds" "$fps"
echo "== wall movie export"
"$build/bin/wall_bench" --export "$work/wall.vw" "$work/wall.mp4" "$fps"
