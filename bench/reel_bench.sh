#!/usr/bin/env bash
# Playback of a 1920x1080 movie several times larger than reel1's ring,
# headless, on a local reel1 server:
#   1. read rate: dd iflag=direct bs=4M reads the file; then reel1 plays it
#      with the clock at 1.25 times the frame rate that dd's byte rate would
#      carry, so the readers stream flat out; bytes read per second while
#      playing (from the status after the first second to the last one)
#      against dd's rate just before and just after (their mean is the
#      round's baseline), round after round; the median ratio counts;
#   2. the clock at 60 frames a second (which the disk keeps up with):
#      frames shown per second;
#   3. flat out: a 30-frame movie that the ring holds whole, the clock at
#      1,000 frames a second, so that only drawing bounds it: frames shown
#      per second;
#   4. at 30 frames per second for 12 s: frames late and skipped (target 0).
# Phases 2-4 run twice, side by side in the same run: on reel1 as it is, and
# on a baseline reel1 started with $BASELINE_FLAGS (default "--draw-pixels
# --no-realtime": frames drawn with glDrawPixels by an ordinary thread, as
# reel1 did before it drew through a texture); the ratios of frames shown
# per second are printed.
# Frames are drawn with OpenGL: on a machine without a GPU that is Mesa's
# software rasterizer, whose speed (and the machine's load) bounds 2-4.
#
# usage: bench/reel_bench.sh [BUILD_DIR] [DIR] [ROUNDS] [FRAMES]
#   BUILD_DIR  default build (programs in BUILD_DIR/bin)
#   DIR        where the movie is written (default /var/tmp); not tmpfs,
#              which has no unbuffered reads
#   ROUNDS     default 3
#   FRAMES     default 150 (150 x 6,220,800 bytes: 933 MB, 4.4 rings)
#   BASELINE_FLAGS (environment) flags of the baseline reel1; empty: no
#              baseline
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
base=${2:-/var/tmp}
rounds=${3:-5}
frames=${4:-150}
w=1920
h=1080
bytes=$((w * h * 3 * frames))
seconds=8

work=$(mktemp -d "$base/reel_bench.XXXXXX")
export VOXA_ROOT="$work/root"
mkdir -p "$VOXA_ROOT/data"
movie="$VOXA_ROOT/data/movie.raw"
port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')
export VOXA_MI_PORT=$port

baseline_flags=${BASELINE_FLAGS---draw-pixels --no-realtime}
small="$VOXA_ROOT/data/small.raw"
small_frames=30
"$build/bin/reel1" --make-test-movie "$movie" $w $h "$frames" >/dev/null
"$build/bin/reel1" --make-test-movie "$small" $w $h $small_frames >/dev/null
sync
reel_pid=
cleanup() {
  if [ -n "$reel_pid" ]; then kill "$reel_pid" 2>/dev/null || true; wait "$reel_pid" 2>/dev/null || true; fi
  rm -rf "$work"
}
trap cleanup EXIT
# start_reel1 [FLAGS...]: a headless reel1 on $port, replacing the last one.
start_reel1() {
  if [ -n "$reel_pid" ]; then kill "$reel_pid" 2>/dev/null || true; wait "$reel_pid" 2>/dev/null || true; fi
  "$build/bin/reel1" --headless --persist --bind 127.0.0.1 --port "$port" "$@" &
  reel_pid=$!
  for _ in $(seq 200); do
    (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null && break
    sleep 0.05
  done
}
start_reel1

dd_rate() {
  local start end
  start=$(date +%s.%N)
  dd if="$movie" of=/dev/null bs=4M iflag=direct status=none
  end=$(date +%s.%N)
  awk -v b=$bytes -v s="$start" -v e="$end" 'BEGIN{printf "%.1f", b*1e-6/(e-s)}'
}
field() { sed -n "s/.* $1=\([-0-9]*\).*/\1/p" <<<" $2"; }
echo "load average: $(cut -d' ' -f1-3 /proc/loadavg), $(nproc) cores"
echo "movie: $frames frames of ${w}x${h} ($bytes bytes), ring 209,715,200 bytes"

ratios=()
for r in $(seq 1 "$rounds"); do
  dd_before=$(dd_rate)
  fps=$(awk -v r="$dd_before" -v f=$((w * h * 3)) 'BEGIN{printf "%d", 1.25*r*1e6/f}')
  out=$("$build/bin/reelctl" 127.0.0.1 "$movie" $w $h "$frames" --fps "$fps" --seconds $seconds \
        --every 1000 --timestamps) || { printf 'reelctl failed:\n%s\n' "$out" >&2; exit 1; }
  final=$(sed -n 's/^final: //p' <<<"$out")
  first=$(grep -m1 '^[0-9]* frame=' <<<"$out")
  last=$(grep '^[0-9]* frame=' <<<"$out" | tail -1)
  rate=$(awk -v t0="${first%% *}" -v t1="${last%% *}" -v b0="$(field read "$first")" \
             -v b1="$(field read "$last")" 'BEGIN{printf "%.1f", (b1-b0)*1e-3/(t1-t0)}')
  dd_after=$(dd_rate)
  dd_rate=$(awk -v a="$dd_before" -v b="$dd_after" 'BEGIN{printf "%.1f", (a+b)/2}')
  ratio=$(awk -v a="$rate" -v b="$dd_rate" 'BEGIN{printf "%.3f", a/b}')
  ratios+=("$ratio")
  printf 'round %d: reel1 reads %7.1f MB/s (clock %d frames/s)   dd %7.1f MB/s (%s before, %s after)   ratio %s\n' \
    "$r" "$rate" "$fps" "$dd_rate" "$dd_before" "$dd_after" "$ratio"
done
median=$(printf '%s\n' "${ratios[@]}" | sort -n | awk '{v[NR]=$1} END{print (NR%2)?v[(NR+1)/2]:(v[NR/2]+v[NR/2+1])/2}')
echo "read rate against dd (median of $rounds rounds): $median (target >= 0.85)"

# display_phases LABEL: phases 2-4 on the running reel1; sets fps60, flat.
display_phases() {
  local out final ms
  out=$("$build/bin/reelctl" 127.0.0.1 "$movie" $w $h "$frames" --fps 60 --seconds $seconds \
        --every 100000) || { printf 'reelctl failed:\n%s\n' "$out" >&2; exit 1; }
  final=$(sed -n 's/^final: //p' <<<"$out")
  ms=$(sed -n 's/^elapsed_ms=//p' <<<"$out")
  fps60=$(awk -v n="$(field shown "$final")" -v ms="$ms" 'BEGIN{printf "%.1f", n*1e3/ms}')
  echo "$1 display: $fps60 frames/s shown with the clock at 60 frames/s (late=$(field late "$final") skipped=$(field skipped "$final"))"

  out=$("$build/bin/reelctl" 127.0.0.1 "$small" $w $h $small_frames --fps 1000 --seconds $seconds \
        --every 100000) || { printf 'reelctl failed:\n%s\n' "$out" >&2; exit 1; }
  final=$(sed -n 's/^final: //p' <<<"$out")
  ms=$(sed -n 's/^elapsed_ms=//p' <<<"$out")
  flat=$(awk -v n="$(field shown "$final")" -v ms="$ms" 'BEGIN{printf "%.1f", n*1e3/ms}')
  echo "$1 flat out: $flat frames/s shown ($small_frames frames held in the ring, clock at 1000 frames/s)"

  out=$("$build/bin/reelctl" 127.0.0.1 "$movie" $w $h "$frames" --fps 30 --seconds 12 --every 100000) ||
    { printf 'reelctl failed:\n%s\n' "$out" >&2; exit 1; }
  final=$(sed -n 's/^final: //p' <<<"$out")
  echo "$1 at 30 frames/s for 12 s: clock=$(field clock "$final") shown=$(field shown "$final") late=$(field late "$final") skipped=$(field skipped "$final") errors=$(field errors "$final") (target: late 0, skipped 0)"
}

display_phases "reel1:"
new60=$fps60
newflat=$flat
if [ -n "$baseline_flags" ]; then
  # shellcheck disable=SC2086
  start_reel1 $baseline_flags
  display_phases "baseline ($baseline_flags):"
  echo "ratio reel1/baseline: $(awk -v a="$new60" -v b="$fps60" 'BEGIN{printf "%.2f", a/b}') with the clock at 60, $(awk -v a="$newflat" -v b="$flat" 'BEGIN{printf "%.2f", a/b}') flat out"
fi
echo "load average: $(cut -d' ' -f1-3 /proc/loadavg)"
