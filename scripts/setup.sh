#!/usr/bin/env bash
# Installs every Debian package VOXA needs (idempotent; quick when all are
# present). Runs apt-get as root, or through sudo when not root.
set -euo pipefail

PACKAGES=(
  # build
  cmake ninja-build g++ pkg-config ccache
  # free ports and figures in the demo and benchmark scripts
  python3
  # tests
  libgtest-dev googletest xvfb xauth
  # component runtime (Cap'n Proto RPC); its CMake config wants OpenSSL
  capnproto libcapnp-dev libssl-dev
  # OpenGL 1.1 + GLU through EGL, X11 windows
  libgl-dev libegl-dev libglu1-mesa-dev libgl1-mesa-dri libegl-mesa0 libx11-dev
  # image export and compressed sample volumes
  libpng-dev zlib1g-dev
  # real MRI sample volumes for the demo and benchmarks
  mricron-data
  # render farm queue: MariaDB client library, and a private server for the demo and tests
  libmariadb-dev mariadb-server mariadb-client
  # dialogs (wall controller, file copy, saver settings, viewer)
  qt6-base-dev qt6-base-dev-tools libqt6opengl6-dev
  # wall movies to MP4
  libavcodec-dev libavformat-dev libswscale-dev libavutil-dev
  # screen-saver window tests (XGetImage read-back, window ids)
  x11-utils
  # fuzzing (scripts/fuzz.sh): clang with libFuzzer and the sanitizer runtimes
  clang libclang-rt-14-dev
)

missing=()
for p in "${PACKAGES[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

echo "setup: installing ${missing[*]}" >&2
SUDO=""
if [ "$(id -u)" -ne 0 ]; then
  if command -v sudo >/dev/null 2>&1; then SUDO="sudo"; else
    echo "setup: need root (or sudo) to install: ${missing[*]}" >&2
    exit 1
  fi
fi
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -q
$SUDO apt-get install -y -q --no-install-recommends "${missing[@]}"
