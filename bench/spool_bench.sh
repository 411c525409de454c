#!/usr/bin/env bash
# Write throughput of spoolwrite through a local spool server against
# dd if=/dev/zero bs=4M oflag=direct of the same 157,286,400 bytes on the
# same file system, measured side by side in one run.
#
# usage: bench/spool_bench.sh [BUILD_DIR] [DIR_ON_TARGET_FS] [ROUNDS]
#   BUILD_DIR  default build (programs in BUILD_DIR/bin)
#   DIR        default a fresh directory under /tmp
#   ROUNDS     default 5 (after one warm-up round that is not counted); the
#              median of the per-round ratios and the best rate of each side
#              are reported
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
base=${2:-/tmp}
rounds=${3:-5}
bytes=157286400

work=$(mktemp -d "$base/spool_bench.XXXXXX")
export VOXA_ROOT="$work/root"
mkdir -p "$VOXA_ROOT/data"
port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')
export VOXA_SPOOL1_PORT=$port

"$build/bin/spool" --bind 127.0.0.1 --port "$port" --persist --data-root "$work" &
spool_pid=$!
cleanup() { kill "$spool_pid" 2>/dev/null || true; wait "$spool_pid" 2>/dev/null || true; rm -rf "$work"; }
trap cleanup EXIT
for _ in $(seq 100); do
  (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null && break
  sleep 0.05
done

best_spool=0
best_dd=0
ratios=()
for r in $(seq 0 "$rounds"); do
  rm -f "$work/spool.raw" "$work/dd.raw"
  out=$("$build/bin/spoolwrite" 127.0.0.1 "$work/spool.raw" 2>&1) ||
    { printf 'spoolwrite failed:\n%s\n' "$out" >&2; exit 1; }
  rate=$(sed -n 's/.*sec *\([0-9.]*\) MB\/sec.*/\1/p' <<<"$out")
  size=$(stat -c %s "$work/spool.raw")
  [ "$size" -eq "$bytes" ] || { echo "spoolwrite wrote $size bytes" >&2; exit 1; }
  start=$(date +%s.%N)
  dd if=/dev/zero of="$work/dd.raw" bs=4M count=37 oflag=direct status=none
  dd if=/dev/zero of="$work/dd.raw" bs=2M count=1 seek=74 oflag=direct conv=notrunc status=none
  end=$(date +%s.%N)
  dd_rate=$(awk -v b=$bytes -v s="$start" -v e="$end" 'BEGIN{printf "%.2f", b*1e-6/(e-s)}')
  if [ "$r" -eq 0 ]; then
    printf 'warm-up: spoolwrite %8.2f MB/s   dd %8.2f MB/s (not counted)\n' "$rate" "$dd_rate"
    continue
  fi
  r_ratio=$(awk -v a="$rate" -v b="$dd_rate" 'BEGIN{printf "%.3f", a/b}')
  ratios+=("$r_ratio")
  printf 'round %d: spoolwrite %8.2f MB/s   dd %8.2f MB/s   ratio %s\n' "$r" "$rate" "$dd_rate" "$r_ratio"
  best_spool=$(awk -v a="$best_spool" -v b="$rate" 'BEGIN{print (b>a)?b:a}')
  best_dd=$(awk -v a="$best_dd" -v b="$dd_rate" 'BEGIN{print (b>a)?b:a}')
done
ratio=$(awk -v a="$best_spool" -v b="$best_dd" 'BEGIN{printf "%.3f", a/b}')
median=$(printf '%s\n' "${ratios[@]}" | sort -n | awk '{v[NR]=$1} END{print (NR%2)?v[(NR+1)/2]:(v[NR/2]+v[NR/2+1])/2}')
echo "file system: $(df -T "$work" | awk 'NR==2{print $2}') ($work)"
echo "spoolwrite (best of $rounds): $best_spool MB/s"
echo "dd bs=4M oflag=direct (best of $rounds): $best_dd MB/s"
echo "ratio of the best rates: $ratio"
echo "median of the per-round ratios spoolwrite/dd: $median (target >= 0.85)"
