#!/usr/bin/env bash
# Frame time of the renderer against VTK 9's ray-cast volume mappers, side
# by side in one run on this machine: the MRI head of Debian's mricron-data
# (ch2, 181 x 217 x 181) at 512 x 512 and 1024 x 1024, grey colours with
# opacity rising linearly with the value (VOXA's default table; the same
# ramp in VTK), the camera orbiting the head between frames.
#
# Both renderers use the same camera: frame_bench prints its starting view
# (eye 4.5 world units from the centre, 34 degree view angle) and the
# volume's world limits, and the VTK script carries eye, centre and up into
# millimetres and orbits the same way, so the last frames of both show the
# starting view. Two views: from the front, and raised 45 degrees. The last
# frames are written to WORK_DIR (voxa_<view>_<size>.png, vtk_..., and
# side_<view>_<size>.png with VOXA on the left), and the share of the image
# each covers is compared: they must agree within 5%, or the script says
# the framing differs (and exits 1 at the end).
#
# VOXA runs at the finest level (one slice per voxel plane) as it composites
# by default (back to front), the same composited front to back with opaque
# pixels masked (VOXA_FRONT_TO_BACK=1; its last frames are
# voxa_ftb_<view>_<size>.png, and how far the two images lie apart is
# printed in levels), at the default tolerances (level of detail on, as the
# engine is normally used), and, for the front view, with every slice drawn
# in full (VOXA_DRAW_ALL_SLICES=1).
# Every figure is the median of RUNS runs; the ratio is VOXA's frame time
# over the faster VTK mapper's (below 1: VOXA is faster).
#
# usage: bench/frame_bench.sh [BUILD_DIR] [WORK_DIR]    (FRAMES=10 RUNS=1)
set -euo pipefail
cd "$(dirname "$0")/.."
BUILD=${1:-build}
WORK=${2:-/tmp/voxa_frame_bench}
FRAMES=${FRAMES:-10}
RUNS=${RUNS:-1}
HEAD=/usr/share/mricron/templates/ch2.nii.gz
SIZES="512 1024"

# The baseline needs VTK's Python bindings (Debian python3-vtk9, numpy).
if ! /usr/bin/python3 -c "import vtkmodules, numpy" 2>/dev/null; then
  SUDO=""; [ "$(id -u)" -ne 0 ] && SUDO=sudo
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -q --no-install-recommends python3-vtk9 python3-numpy
fi
cmake --build "$BUILD" --target frame_bench zbmake >/dev/null
mkdir -p "$WORK"
"$BUILD/bin/zbmake" "$HEAD" "$WORK/ch2.zb" --quiet

# median FILE KEY: median of field 3 over the lines of FILE whose first two
# fields are KEY (e.g. "voxa 512x512").
median() {
  awk -v k="$2" '$1 " " $2 == k && $3 ~ /^[0-9.]+$/ {print $3}' "$1" | sort -g |
    awk '{v[NR] = $1} END {if (NR) print (NR % 2 ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2)}'
}

voxa_run() {  # voxa_run OUT ELEVATION [ARGS...]
  local out=$1 elevation=$2; shift 2
  local args=()
  for s in $SIZES; do args+=(--size "$s"); done
  EGL_PLATFORM=surfaceless "$BUILD/bin/frame_bench" "$WORK/ch2.zb" --frames "$FRAMES" \
    --elevation "$elevation" "${args[@]}" "$@" >>"$out"
}

status=0
echo "== $(nproc) cores, load average $(cut -d' ' -f1-3 /proc/loadavg), $FRAMES frames, median of $RUNS run(s)"
for view in front:0 elevated:45; do
  name=${view%%:*} elevation=${view#*:}
  res="$WORK/$name.txt"
  : >"$res"; : >"$res.ftb"; : >"$res.lod"; : >"$res.vtk"; rm -f "$res.all"
  viewline=$(EGL_PLATFORM=surfaceless "$BUILD/bin/frame_bench" "$WORK/ch2.zb" --frames 1 \
             --size 64 --elevation "$elevation" --print-view | grep '^view ')
  for ((r = 0; r < RUNS; r++)); do
    voxa_run "$res" "$elevation" --png "$WORK/voxa_${name}_"
    VOXA_FRONT_TO_BACK=1 voxa_run "$res.ftb" "$elevation" --png "$WORK/voxa_ftb_${name}_"
    voxa_run "$res.lod" "$elevation" --lod
    if [ "$name" = front ]; then
      VOXA_DRAW_ALL_SLICES=1 voxa_run "$res.all" "$elevation"
    fi
    for mapper in fixed gpu; do
      for size in $SIZES; do
        line=$(scripts/with_xvfb.sh /usr/bin/python3 bench/vtk_volume_bench.py "$HEAD" \
               --mapper $mapper --size "$size" --frames "$FRAMES" --view "$viewline" \
               --png "$WORK/vtk_${name}_" 2>/dev/null | tail -n 1 || true)
        [ -n "$line" ] && echo "$line" >>"$res.vtk"
      done
    done
  done
  echo "== view: $name (elevation $elevation degrees)   ${viewline#view }"
  for size in $SIZES; do
    key="${size}x${size}"
    v=$(median "$res" "voxa $key")
    lod=$(awk -v k="$key" '$2 == k' "$res.lod" | head -n 1)
    lodms=$(median "$res.lod" "voxa $key")
    fixed=$(median "$res.vtk" "vtkFixedPointVolumeRayCastMapper $key")
    gpu=$(median "$res.vtk" "vtkGPUVolumeRayCastMapper $key")
    slices=$(awk -v k="$key" '$2 == k {print $4}' "$res" | head -n 1 | tr -d '(')
    printf "%-9s VOXA finest %7.1f ms (%s slices)   VOXA lod %7.1f ms (%s slices)\n" "$key" \
      "${v:-nan}" "${slices:-?}" "${lodms:-nan}" "$(awk '{print $4}' <<<"$lod" | tr -d '(')"
    ftb=$(median "$res.ftb" "voxa $key")
    printf "%-9s VOXA finest front to back %7.1f ms   front to back / back to front %.2f\n" \
      "$key" "${ftb:-nan}" "$(awk -v a="${ftb:-0}" -v b="${v:-0}" 'BEGIN {print (b > 0 ? a / b : 0)}')"
    /usr/bin/python3 bench/image_levels.py "$WORK/voxa_${name}_${size}.png" \
      "$WORK/voxa_ftb_${name}_${size}.png" | sed "s/^/$key front to back vs back to front: /"
    if [ -f "$res.all" ]; then
      printf "%-9s VOXA every slice drawn %7.1f ms\n" "$key" "$(median "$res.all" "voxa $key")"
    fi
    printf "%-9s VTK fixed-point %7.1f ms   VTK GPU %7.1f ms\n" "$key" "${fixed:-nan}" "${gpu:-nan}"
    best=$(printf '%s\n%s\n' "$fixed" "$gpu" | grep -E '^[0-9.]+$' | sort -g | head -n 1 || true)
    if [ -n "$v" ] && [ -n "$best" ]; then
      awk -v k="$key" -v v="$v" -v t="${ftb:-0}" -v l="${lodms:-0}" -v b="$best" 'BEGIN {
        printf "%-9s ratio VOXA / faster VTK: finest %.2f (front to back %.2f)   lod %.2f\n",
               k, v / b, t / b, l / b}'
    fi
    if ! /usr/bin/python3 bench/frame_compare.py "$WORK/voxa_${name}_${size}.png" \
         "$WORK/vtk_${name}_vtkFixedPointVolumeRayCastMapper_${size}.png" \
         --out "$WORK/side_${name}_${size}.png" | sed "s/^/$key framing: /"; then
      status=1
    fi
  done
done
echo "== images: $WORK/side_<view>_<size>.png (VOXA left, VTK fixed-point right)"
exit $status
