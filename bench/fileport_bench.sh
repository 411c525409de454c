#!/usr/bin/env bash
# Copy throughput of getfile through a local fileport_server over loopback
# against cp of the same file on the same disk, measured side by side in one
# run, with the page cache dropped before every copy (when this user may).
#
# usage: bench/fileport_bench.sh [BUILD_DIR] [DIR_ON_TARGET_FS] [ROUNDS] [MIB]
#   BUILD_DIR  default build (programs in BUILD_DIR/bin)
#   DIR        default a fresh directory under /tmp
#   ROUNDS     default 3
#   MIB        file size in MiB, default 1024
# Reports each round's rates and ratio, the median ratio getfile/cp and the
# best rate of each side.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
base=${2:-/tmp}
rounds=${3:-3}
mib=${4:-1024}
bytes=$((mib * 1048576))

work=$(mktemp -d "$base/fileport_bench.XXXXXX")
export VOXA_ROOT="$work/root"
mkdir -p "$VOXA_ROOT" "$work/data" "$work/getfile" "$work/cp"
port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')
export VOXA_REMOTEFILES_PORT=$port

"$build/bin/fileport_server" --bind 127.0.0.1 --port "$port" --persist --data-root "$work/data" &
server_pid=$!
cleanup() { kill "$server_pid" 2>/dev/null || true; wait "$server_pid" 2>/dev/null || true; rm -rf "$work"; }
trap cleanup EXIT
for _ in $(seq 100); do
  (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null && break
  sleep 0.05
done

head -c "$bytes" /dev/urandom > "$work/data/big.raw"
sync

dropped=no
drop_cache() {
  sync
  if echo 3 > /proc/sys/vm/drop_caches 2>/dev/null; then dropped=yes; fi
}
now() { date +%s.%N; }

ratios=()
best_get=0
best_cp=0
for r in $(seq 1 "$rounds"); do
  rm -f "$work/getfile/big.raw" "$work/cp/big.raw"
  drop_cache
  start=$(now)
  (cd "$work/getfile" && "$OLDPWD/$build/bin/getfile" 127.0.0.1 "$work/data" big.raw > /dev/null 2>&1) ||
    { echo "getfile failed" >&2; exit 1; }
  sync
  end=$(now)
  get_rate=$(awk -v b=$bytes -v s="$start" -v e="$end" 'BEGIN{printf "%.2f", b*1e-6/(e-s)}')
  cmp -s "$work/data/big.raw" "$work/getfile/big.raw" || { echo "getfile copy differs" >&2; exit 1; }
  drop_cache
  start=$(now)
  cp --reflink=never "$work/data/big.raw" "$work/cp/big.raw"
  sync
  end=$(now)
  cp_rate=$(awk -v b=$bytes -v s="$start" -v e="$end" 'BEGIN{printf "%.2f", b*1e-6/(e-s)}')
  ratio=$(awk -v a="$get_rate" -v b="$cp_rate" 'BEGIN{printf "%.3f", a/b}')
  ratios+=("$ratio")
  printf 'round %d: getfile %8.2f MB/s   cp %8.2f MB/s   ratio %s\n' "$r" "$get_rate" "$cp_rate" "$ratio"
  best_get=$(awk -v a="$best_get" -v b="$get_rate" 'BEGIN{print (b>a)?b:a}')
  best_cp=$(awk -v a="$best_cp" -v b="$cp_rate" 'BEGIN{print (b>a)?b:a}')
done
median=$(printf '%s\n' "${ratios[@]}" | sort -n | awk '{v[NR]=$1} END{print (NR%2)?v[(NR+1)/2]:(v[NR/2]+v[NR/2+1])/2}')
echo "file system: $(df -T "$work" | awk 'NR==2{print $2}') ($work), $mib MiB, page cache dropped: $dropped"
echo "getfile over loopback (best of $rounds): $best_get MB/s"
echo "cp --reflink=never (best of $rounds): $best_cp MB/s"
echo "median of the per-round ratios getfile/cp: $median (target >= 0.8)"
