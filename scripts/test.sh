#!/usr/bin/env bash
# Builds the project in a build folder (default: build) and runs every test.
#   scripts/test.sh [build-dir]        AAI_SANITIZE=address,undefined scripts/test.sh build-asan
set -euo pipefail
cd "$(dirname "$0")/.."
dir=${1:-build}
cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DAAI_SANITIZE="${AAI_SANITIZE:-}" >/dev/null
cmake --build "$dir" -j "$(nproc)"
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
ctest --test-dir "$dir" --output-on-failure -j "$(nproc)" --timeout 300
