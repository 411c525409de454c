#!/usr/bin/env bash
# Copy throughput of getfile through a local fileport_server over loopback
# against cp of the same file on the same disk, measured side by side in one
# run, with the page cache dropped before every copy (when this user may).
#
# usage: bench/fileport_bench.sh [BUILD_DIR] [DIR_ON_TARGET_FS] [ROUNDS] [MIB] [OTHER_BUILD_DIR]
#   BUILD_DIR        default build (programs in BUILD_DIR/bin)
#   DIR              default a fresh directory under /tmp
#   ROUNDS           default 3
#   MIB              file size in MiB, default 1024
#   OTHER_BUILD_DIR  optional: a second build (say, of an older commit) whose
#                    fileport_server and getfile copy the same file in the
#                    same rounds, reported as a ratio of its own
# Each round copies the file with getfile, with the other build's getfile
# when given, and with cp --reflink=never (each round starting with another
# of them), dropping the page cache (sync, then 3 to
# /proc/sys/vm/drop_caches, which needs root) before each copy and timing
# each copy until a sync after it returns. The CPU seconds of a side are
# those of everything the copy ran (the program, and for getfile its
# server, and the sync after it). Reports each round's rates
# and ratios, the median ratio getfile/cp and the best rate of each side, and
# the CPU seconds (user+system) each side used over all rounds.
set -euo pipefail
cd "$(dirname "$0")/.."
build=$(cd "${1:-build}" && pwd)
base=${2:-/tmp}
rounds=${3:-3}
mib=${4:-1024}
other=""
if [[ -n "${5:-}" ]]; then other=$(cd "$5" && pwd); fi
bytes=$((mib * 1048576))

work=$(mktemp -d "$base/fileport_bench.XXXXXX")
export VOXA_ROOT="$work/root"
mkdir -p "$VOXA_ROOT" "$work/data" "$work/getfile" "$work/other" "$work/cp"
free_port() { python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'; }
wait_port() {
  for _ in $(seq 100); do
    (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null && return 0
    sleep 0.05
  done
}
pids=()
cleanup() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; wait "$p" 2>/dev/null || true; done
  rm -rf "$work"
}
trap cleanup EXIT
port=$(free_port)
"$build/bin/fileport_server" --bind 127.0.0.1 --port "$port" --persist --data-root "$work/data" &
server_pid=$!
pids+=("$server_pid")
wait_port "$port"
if [[ -n "$other" ]]; then
  other_port=$(free_port)
  "$other/bin/fileport_server" --bind 127.0.0.1 --port "$other_port" --persist --data-root "$work/data" &
  other_server_pid=$!
  pids+=("$other_server_pid")
  wait_port "$other_port"
fi

head -c "$bytes" /dev/urandom > "$work/data/big.raw"
sync

dropped=no
drop_cache() {
  sync
  if echo 3 > /proc/sys/vm/drop_caches 2>/dev/null; then dropped=yes; fi
}
now() { date +%s.%N; }
# CPU seconds (user+system) a process and its reaped children have used.
cpu_of() { awk -v hz="$(getconf CLK_TCK)" '{print ($14+$15+$16+$17)/hz}' "/proc/$1/stat"; }
rate() { awk -v b=$bytes -v s="$1" -v e="$2" 'BEGIN{printf "%.2f", b*1e-6/(e-s)}'; }
add() { awk -v a="$1" -v b="$2" 'BEGIN{print a+b}'; }
best() { awk -v a="$1" -v b="$2" 'BEGIN{print (b>a)?b:a}'; }
median() { printf '%s\n' "$@" | sort -n | awk '{v[NR]=$1} END{print (NR%2)?v[(NR+1)/2]:(v[NR/2]+v[NR/2+1])/2}'; }

# Copies the file with the getfile of build $1 (server port $2) into $3;
# sets copy_rate and copy_cpu (the client's CPU seconds).
getfile_copy() {
  rm -f "$3/big.raw"
  drop_cache
  local start end t0 t1
  t0=$(awk -v hz="$(getconf CLK_TCK)" '{print ($16+$17)/hz}' /proc/$$/stat)
  start=$(now)
  (cd "$3" && VOXA_REMOTEFILES_PORT=$2 "$1/bin/getfile" 127.0.0.1 "$work/data" big.raw > /dev/null 2>&1) ||
    { echo "getfile ($1) failed" >&2; exit 1; }
  sync
  end=$(now)
  t1=$(awk -v hz="$(getconf CLK_TCK)" '{print ($16+$17)/hz}' /proc/$$/stat)
  copy_rate=$(rate "$start" "$end")
  copy_cpu=$(awk -v a="$t0" -v b="$t1" 'BEGIN{print b-a}')
  cmp -s "$work/data/big.raw" "$3/big.raw" || { echo "getfile ($1) copy differs" >&2; exit 1; }
  rm -f "$3/big.raw"
}

ratios=(); other_ratios=()
best_get=0; best_other=0; best_cp=0
cpu_get=0; cpu_other=0; cpu_cp=0
server_cpu0=$(cpu_of "$server_pid")
[[ -n "$other" ]] && other_cpu0=$(cpu_of "$other_server_pid")
# cp --reflink=never of the file; sets copy_rate and copy_cpu.
cp_copy() {
  rm -f "$work/cp/big.raw"
  drop_cache
  local start end t0 t1
  t0=$(awk -v hz="$(getconf CLK_TCK)" '{print ($16+$17)/hz}' /proc/$$/stat)
  start=$(now)
  cp --reflink=never "$work/data/big.raw" "$work/cp/big.raw"
  sync
  end=$(now)
  t1=$(awk -v hz="$(getconf CLK_TCK)" '{print ($16+$17)/hz}' /proc/$$/stat)
  copy_rate=$(rate "$start" "$end")
  copy_cpu=$(awk -v a="$t0" -v b="$t1" 'BEGIN{print b-a}')
  rm -f "$work/cp/big.raw"
}

sides=(getfile cp)
[[ -n "$other" ]] && sides=(getfile other cp)
for r in $(seq 1 "$rounds"); do
  # Each round starts with another side, so that no side always goes first.
  for ((k = 0; k < ${#sides[@]}; k++)); do
    side=${sides[$(( (k + r - 1) % ${#sides[@]} ))]}
    case $side in
      getfile)
        getfile_copy "$build" "$port" "$work/getfile"
        get_rate=$copy_rate; cpu_get=$(add "$cpu_get" "$copy_cpu") ;;
      other)
        getfile_copy "$other" "$other_port" "$work/other"
        other_rate=$copy_rate; cpu_other=$(add "$cpu_other" "$copy_cpu") ;;
      cp)
        cp_copy
        cp_rate=$copy_rate; cpu_cp=$(add "$cpu_cp" "$copy_cpu") ;;
    esac
  done

  ratio=$(awk -v a="$get_rate" -v b="$cp_rate" 'BEGIN{printf "%.3f", a/b}')
  ratios+=("$ratio")
  best_get=$(best "$best_get" "$get_rate")
  best_cp=$(best "$best_cp" "$cp_rate")
  line=$(printf 'round %d: getfile %8.2f MB/s   cp %8.2f MB/s   ratio %s' "$r" "$get_rate" "$cp_rate" "$ratio")
  if [[ -n "$other" ]]; then
    other_ratio=$(awk -v a="$other_rate" -v b="$cp_rate" 'BEGIN{printf "%.3f", a/b}')
    other_ratios+=("$other_ratio")
    best_other=$(best "$best_other" "$other_rate")
    line+=$(printf '   other getfile %8.2f MB/s ratio %s' "$other_rate" "$other_ratio")
  fi
  echo "$line"
done
server_cpu=$(awk -v a="$server_cpu0" -v b="$(cpu_of "$server_pid")" 'BEGIN{print b-a}')
echo "file system: $(df -T "$work" | awk 'NR==2{print $2}') ($work), $mib MiB, page cache dropped: $dropped"
echo "load average: $(cut -d' ' -f1-3 /proc/loadavg)"
echo "getfile over loopback (best of $rounds): $best_get MB/s"
echo "cp --reflink=never (best of $rounds): $best_cp MB/s"
printf 'CPU seconds over %d rounds: getfile %.2f + its server %.2f, cp %.2f\n' "$rounds" "$cpu_get" "$server_cpu" "$cpu_cp"
if [[ -n "$other" ]]; then
  other_server_cpu=$(awk -v a="$other_cpu0" -v b="$(cpu_of "$other_server_pid")" 'BEGIN{print b-a}')
  echo "other build ($other) getfile (best of $rounds): $best_other MB/s"
  printf 'CPU seconds over %d rounds: other getfile %.2f + its server %.2f\n' "$rounds" "$cpu_other" "$other_server_cpu"
  echo "median of the per-round ratios other getfile/cp: $(median "${other_ratios[@]}")"
fi
echo "median of the per-round ratios getfile/cp: $(median "${ratios[@]}") (target >= 0.8)"
