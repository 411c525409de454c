#!/usr/bin/env bash
# Sets everything up, builds, and runs the demo: what the pipeline does today.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
scripts/build.sh
out="${VOXA_DEMO_OUT:-$PWD/demo_out}"
mkdir -p "$out"
export VOXA_ROOT="${VOXA_ROOT:-$out/root}"
bin=build/bin

echo "== Timer file summary (ptodump)"
pto="$out/demo.pto"
rm -f "$pto"
{
  printf '%40s , %20.4f\n' "Begin Rendering" 100.0
  printf '%40s , %20.4f  %10f\n' "Begin TposeYZ" 100.010 0.010
  printf '%40s , %20.4f  %10f\n' "End   TposeYZ" 100.030 0.020
  printf '%40s , %20.4f  %10f\n' "Begin Bol_RenderingYZ" 100.031 0.001
  printf '%40s , %20.4f  %10f\n' "End   Bol_RenderingYZ" 100.250 0.219
  printf '%40s , %20.4f  %10f\n' "End   Rendering" 100.260 0.010
} > "$pto"
"$bin/ptodump" "$pto"
echo "demo: outputs in $out"
