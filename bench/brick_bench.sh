#!/usr/bin/env bash
# Brick streaming benchmark: builds a multi-level volume several times the
# size of the brick cache with zbmake, then streams its finest level with
# the brick readers (BufferedIO 1) against dd iflag=direct over the same
# data, with one data directory and then with two.
#
# usage: bench/brick_bench.sh [BUILD_DIR] [WORK_DIR]
#   BUILD_DIR  default build; WORK_DIR  default /tmp/voxa_brick_bench
#   SIDE=512 CACHE_MB=48 ROUNDS=3 override the sizes.
set -euo pipefail
BUILD=${1:-build}
WORK=${2:-/tmp/voxa_brick_bench}
SIDE=${SIDE:-512}
CACHE_MB=${CACHE_MB:-48}
ROUNDS=${ROUNDS:-3}
ninja -C "$BUILD" zbmake brick_bench >/dev/null
mkdir -p "$WORK/one" "$WORK/two" "$WORK/copy"
if [ ! -f "$WORK/vol.raw" ] || [ "$(stat -c %s "$WORK/vol.raw")" -ne $((SIDE * SIDE * SIDE)) ]; then
  head -c $((SIDE * SIDE * SIDE)) /dev/urandom > "$WORK/vol.raw"
fi
"$BUILD/bin/zbmake" "$WORK/vol.raw" "$WORK/one/vol.zb" --dims $SIDE,$SIDE,$SIDE --quiet
"$BUILD/bin/zbmake" "$WORK/vol.raw" "$WORK/two/vol.zb" --dims $SIDE,$SIDE,$SIDE --quiet --dirs "$WORK/copy"
echo "== one data directory =="
"$BUILD/bin/brick_bench" "$WORK/one/vol.zb" --cache-mb "$CACHE_MB" --rounds "$ROUNDS"
echo "== two data directories (two readers; both copies on the same disk here) =="
"$BUILD/bin/brick_bench" "$WORK/two/vol.zb" --cache-mb "$CACHE_MB" --rounds "$ROUNDS"
