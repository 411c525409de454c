#!/usr/bin/env bash
# Frames per second of the MRI head at 1024x1024, rendered and read back
# through voxa_server on loopback (voxa_render --host 127.0.0.1) against the
# same frames rendered and read back in this process (voxa_render, direct
# mode), side by side in one run.
#
# Each side runs a short and a long turntable (2 and 2+N frames, each frame
# read back and written as raw .pix); the difference of the two times is
# the time of N frames without the start-up (volume load, server launch), so
# fps = N / (t_long - t_short). Rounds alternate the two sides; the median
# of the per-round ratios remote/direct is reported.
#
# usage: bench/remote_bench.sh [BUILD_DIR] [FRAMES] [ROUNDS]
#   BUILD_DIR  default build (programs in BUILD_DIR/bin)
#   FRAMES     default 20 (N above)
#   ROUNDS     default 3
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
frames=${2:-20}
rounds=${3:-3}
bin=$PWD/$build/bin
head=/usr/share/mricron/templates/ch2.nii.gz

work=$(mktemp -d /tmp/remote_bench.XXXXXX)
export VOXA_ROOT="$work/root"
mkdir -p "$VOXA_ROOT/data"
port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')
export VOXA_VOXA_WORK_PORT=$port
unset DISPLAY

zb=${VOXA_BENCH_ZB:-}
if [ -z "$zb" ]; then
  [ -f "$head" ] || { echo "remote_bench: $head is missing (scripts/setup.sh installs it)" >&2; exit 1; }
  "$bin/zbmake" "$head" "$work/ch2.zb" >/dev/null
  zb=$work/ch2.zb
fi

"$bin/voxa_server" --bind 127.0.0.1 --port "$port" --persist --headless \
  --data-root "$work" --data-root "$(dirname "$(realpath "$zb")")" --data-root "$PWD/scripts/demo" &
server_pid=$!
cleanup() { kill "$server_pid" 2>/dev/null || true; wait "$server_pid" 2>/dev/null || true; rm -rf "$work"; }
trap cleanup EXIT
for _ in $(seq 200); do
  (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null && break
  sleep 0.05
done

common=(--zb "$zb" --keys scripts/demo/head.keys
        --cmap "$PWD/scripts/demo/mri_copper.cmap" --amap "$PWD/scripts/demo/mri_copper.amap"
        --size 1024x1024 --orbit 12,0)

# Seconds taken by one voxa_render run of $2 frames; $1: "direct" or "remote".
run() {
  local side=$1 n=$2 host=()
  [ "$side" = remote ] && host=(--host 127.0.0.1)
  rm -f "$work/$side"_*.pix
  local start end
  start=$(date +%s.%N)
  "$bin/voxa_render" "${host[@]}" "${common[@]}" --frames "$n" --out "$work/$side.pix" >/dev/null
  end=$(date +%s.%N)
  awk -v s="$start" -v e="$end" 'BEGIN{printf "%.4f", e-s}'
}

fps() {  # fps of side $1 in one measurement
  local short long
  short=$(run "$1" 2)
  long=$(run "$1" $((frames + 2)))
  awk -v n="$frames" -v a="$short" -v b="$long" 'BEGIN{printf "%.3f", n/(b-a)}'
}

run direct 1 >/dev/null  # warm-up: page cache and shader compilation
run remote 1 >/dev/null
cmp -s "$work/direct.pix" "$work/remote.pix" || { echo "remote_bench: remote frame differs from direct" >&2; exit 1; }

ratios=()
for r in $(seq 1 "$rounds"); do
  d=$(fps direct)
  m=$(fps remote)
  ratio=$(awk -v a="$m" -v b="$d" 'BEGIN{printf "%.3f", a/b}')
  ratios+=("$ratio")
  printf 'round %d: direct %7.3f fps   remote %7.3f fps   ratio %s\n' "$r" "$d" "$m" "$ratio"
done
median=$(printf '%s\n' "${ratios[@]}" | sort -n | awk '{v[NR]=$1} END{print (NR%2)?v[(NR+1)/2]:(v[NR/2]+v[NR/2+1])/2}')
echo "remote/direct frames per second at 1024x1024 (median of $rounds rounds, $frames frames each): $median (target >= 0.9)"
