#!/usr/bin/env bash
# Frame time of the renderer against VTK 9's ray-cast volume mappers, side
# by side in one run on this machine: the MRI head of Debian's mricron-data
# (ch2, 181 x 217 x 181) at 512 x 512 and 1024 x 1024, one slice per voxel
# plane at the finest level, grey colours with opacity rising linearly with
# the value (VOXA's default table; the same ramp in VTK), the camera turning
# between frames. Prints every figure, VOXA's also with every slice drawn in
# full, and the ratio of VOXA's frame time to the faster VTK mapper's (below
# 1: VOXA is faster).
#
# usage: bench/frame_bench.sh [BUILD_DIR] [WORK_DIR]    (FRAMES=10)
set -euo pipefail
cd "$(dirname "$0")/.."
BUILD=${1:-build}
WORK=${2:-/tmp/voxa_frame_bench}
FRAMES=${FRAMES:-10}
HEAD=/usr/share/mricron/templates/ch2.nii.gz

# The baseline needs VTK's Python bindings (Debian python3-vtk9).
if ! /usr/bin/python3 -c "import vtkmodules" 2>/dev/null; then
  SUDO=""; [ "$(id -u)" -ne 0 ] && SUDO=sudo
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -q --no-install-recommends python3-vtk9
fi
cmake --build "$BUILD" --target frame_bench zbmake >/dev/null
mkdir -p "$WORK"
"$BUILD/bin/zbmake" "$HEAD" "$WORK/ch2.zb" --quiet

echo "== VOXA (headless, $(nproc) cores)"
voxa=$(EGL_PLATFORM=surfaceless "$BUILD/bin/frame_bench" "$WORK/ch2.zb" --frames "$FRAMES" \
       --size 512 --size 1024)
echo "$voxa"
# The same renderer drawing every planned slice in full (no skipping of
# slices that cannot show): the figure before that work, same image.
echo "== VOXA drawing every slice (VOXA_DRAW_ALL_SLICES=1)"
VOXA_DRAW_ALL_SLICES=1 EGL_PLATFORM=surfaceless "$BUILD/bin/frame_bench" "$WORK/ch2.zb" \
  --frames "$FRAMES" --size 512 --size 1024
echo "== VTK 9 ray casters (same machine, private Xvfb)"
vtk=""
for mapper in fixed gpu; do
  for size in 512 1024; do
    line=$(scripts/with_xvfb.sh /usr/bin/python3 bench/vtk_volume_bench.py "$HEAD" \
           --mapper $mapper --size $size --frames "$FRAMES" 2>/dev/null | tail -n 1 || true)
    [ -n "$line" ] || line="vtk_$mapper ${size}x${size} failed"
    echo "$line"
    vtk+="$line"$'\n'
  done
done
echo "== ratio: VOXA frame time / faster VTK mapper (below 1: VOXA faster)"
for size in 512 1024; do
  v=$(awk -v s="${size}x${size}" '$2 == s {print $3}' <<<"$voxa")
  best=$(awk -v s="${size}x${size}" '$2 == s && $3 ~ /^[0-9.]+$/ {print $3}' <<<"$vtk" | sort -g | head -n 1)
  if [ -n "$v" ] && [ -n "$best" ]; then
    awk -v s="$size" -v v="$v" -v b="$best" \
      'BEGIN {printf "%4dx%-4d  VOXA %7.1f ms   VTK best %7.1f ms   ratio %.2f\n", s, s, v, b, v / b}'
  fi
done
