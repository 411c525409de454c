#!/usr/bin/env bash
# Builds VOXA with AddressSanitizer and UndefinedBehaviorSanitizer into
# build-asan/ and runs the whole test suite there (extra arguments go to
# ctest, e.g. -R Spool). Any sanitizer report fails the test that made it.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
generator=()
if command -v ninja >/dev/null 2>&1; then generator=(-G Ninja); fi
launcher=()
if command -v ccache >/dev/null 2>&1; then
  launcher=(-DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
fi
if [ ! -f build-asan/CMakeCache.txt ]; then
  cmake -S . -B build-asan "${generator[@]}" "${launcher[@]}" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DVOXA_SANITIZE=ON
fi
cmake --build build-asan -j"$(nproc)"
export ASAN_OPTIONS=${ASAN_OPTIONS:-abort_on_error=1:detect_leaks=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-halt_on_error=1:print_stacktrace=1}
cd build-asan
ctest -j2 --output-on-failure --timeout 900 "$@"
