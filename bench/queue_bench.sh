#!/usr/bin/env bash
# Render-farm queue benchmark, on a private MariaDB server started for it:
#  1. per-frame queue overhead of a node (claim, look-ups, finish; render and
#     delivery left out) against a bare "SELECT 1" round trip on the same
#     server (build/bin/queue_bench; target: at most 5 ms per frame);
#  2. frames per minute of the demo movie (24 frames of the MRI head on a 2x1
#     wall of 320x256 panels, delivered through a loopback spool server) with
#     one node and with two nodes, run one after the other.
#
# usage: bench/queue_bench.sh [BUILD_DIR] [FRAMES_FOR_PART_1]
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
frames=${2:-500}
bin=$PWD/$build/bin
head=/usr/share/mricron/templates/ch2.nii.gz

work=$(mktemp -d /tmp/queue_bench.XXXXXX)
export VOXA_ROOT="$work/root"
mkdir -p "$VOXA_ROOT/data/wall"
free_port() { python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'; }
export VOXA_QUEUE_PORT=$(free_port)
export VOXA_SPOOL1_PORT=$(free_port)
cleanup() {
  [ -n "${spool_pid:-}" ] && kill "$spool_pid" 2>/dev/null && wait "$spool_pid" 2>/dev/null
  scripts/queue_db.sh stop >/dev/null 2>&1 || true
  rm -rf "$work"
}
trap cleanup EXIT
scripts/queue_db.sh start >/dev/null

echo "== 1. Queue overhead per frame ($frames frames)"
"$bin/queue_bench" "$frames"

echo "== 2. Frames per minute of the demo movie"
"$bin/zbmake" "$head" "$work/ch2.zb" >/dev/null 2>&1
"$bin/spool" --persist --bind 127.0.0.1 --port "$VOXA_SPOOL1_PORT" >/dev/null 2>&1 &
spool_pid=$!
for _ in $(seq 100); do (exec 3<>"/dev/tcp/127.0.0.1/$VOXA_SPOOL1_PORT") 2>/dev/null && break; sleep 0.05; done
for nodes in 1 2; do
  "$bin/voxa_movie" delete bench >/dev/null 2>&1 || true
  "$bin/voxa_movie" create bench --zb "$work/ch2.zb" --orbit 24,15,0 --keys scripts/demo/farm.keys \
    --wall 2x1 --panel 320x256 --dest "127.0.0.1:$VOXA_ROOT/data/wall" >/dev/null
  start=$(date +%s.%N)
  pids=()
  for n in $(seq "$nodes"); do
    "$bin/voxa_saver" -headless -geometry 320x256 --until-idle --node-name "node$n" &
    pids+=($!)
  done
  wait "${pids[@]}"
  end=$(date +%s.%N)
  status=$("$bin/voxa_movie" status bench | head -n 1)
  python3 -c "import sys; s=float(sys.argv[2])-float(sys.argv[1]); print('%s node(s): 24 frames in %.1f s = %.1f frames per minute  [%s]' % (sys.argv[3], s, 24*60/s, sys.argv[4]))" "$start" "$end" "$nodes" "$status"
done
