#!/usr/bin/env bash
# Configures and builds VOXA into build/ (programs in build/bin/).
# Extra arguments go to the CMake configure step (e.g. -DVOXA_SANITIZE=ON).
set -euo pipefail
cd "$(dirname "$0")/.."
generator=()
if command -v ninja >/dev/null 2>&1; then generator=(-G Ninja); fi
if [ ! -f build/CMakeCache.txt ]; then
  cmake -S . -B build "${generator[@]}" -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@"
elif [ $# -gt 0 ]; then
  cmake -S . -B build "$@"
fi
cmake --build build -j"$(nproc)"
