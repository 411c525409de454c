#!/usr/bin/env bash
# Runs every fuzz harness (fuzz/<name>_fuzz.cpp) under libFuzzer with
# AddressSanitizer and UndefinedBehaviorSanitizer for SECONDS each
# (default 60), over a copy of its seed corpus (fuzz/corpus/<name>/).
#
#   scripts/fuzz.sh [SECONDS] [HARNESS...]
#
# Builds with clang into build-fuzz/ (-DVOXA_FUZZ=ON), then prints the
# executions of each harness. A finding (crash, sanitizer report, leak,
# timeout) is kept as build-fuzz/findings/<name>/crash-* (or leak-*,
# timeout-*), and the script exits 1; add the file to the harness's corpus
# once the fault is mended, so that the test suite replays it.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
shift || true
if ! [[ "$seconds" =~ ^[0-9]+$ ]] || [ "$seconds" -lt 1 ]; then
  echo "usage: scripts/fuzz.sh [SECONDS] [HARNESS...]" >&2
  exit 2
fi
if [ $# -gt 0 ]; then
  harnesses=("$@")
else
  harnesses=()
  for f in fuzz/*.cmake; do harnesses+=("$(basename "$f" .cmake)"); done
fi
for h in "${harnesses[@]}"; do
  if [ ! -f "fuzz/${h}_fuzz.cpp" ]; then
    echo "fuzz.sh: no harness fuzz/${h}_fuzz.cpp" >&2
    exit 2
  fi
done
command -v clang++ >/dev/null || { echo "fuzz.sh: clang++ is needed (scripts/setup.sh installs it)" >&2; exit 1; }

generator=()
if command -v ninja >/dev/null 2>&1; then generator=(-G Ninja); fi
launcher=()
if command -v ccache >/dev/null 2>&1; then
  launcher=(-DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
fi
if [ ! -f build-fuzz/CMakeCache.txt ]; then
  CC=clang CXX=clang++ cmake -S . -B build-fuzz "${generator[@]}" "${launcher[@]}" \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVOXA_FUZZ=ON >/dev/null
fi
targets=()
for h in "${harnesses[@]}"; do targets+=("fuzz_$h"); done
cmake --build build-fuzz --target "${targets[@]}" -j"$(nproc)"

export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-halt_on_error=1:print_stacktrace=1}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
status=0
summary=()
for h in "${harnesses[@]}"; do
  corpus="$work/$h"
  findings="build-fuzz/findings/$h"
  mkdir -p "$corpus" "$findings"
  cp fuzz/corpus/"$h"/* "$corpus"/ 2>/dev/null || true
  log="build-fuzz/findings/$h.log"
  echo "fuzz.sh: $h for ${seconds}s" >&2
  set +e
  build-fuzz/bin/fuzz_"$h" -max_total_time="$seconds" -timeout=25 -rss_limit_mb=4096 \
    -max_len=16384 -print_final_stats=1 -artifact_prefix="$findings/" "$corpus" >"$log" 2>&1
  rc=$?
  set -e
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
  if [ $rc -ne 0 ]; then
    status=1
    summary+=("$(printf '%-16s %12s executions  FINDING (exit %d): see %s and %s' "$h" "${runs:-?}" "$rc" "$log" "$findings")")
  else
    summary+=("$(printf '%-16s %12s executions  no finding' "$h" "${runs:-?}")")
  fi
done
printf '%s\n' "${summary[@]}"
exit $status
