#!/usr/bin/env bash
# Instructions per in-process call, counted by callgrind: unlike times, they do not move with the
# load of the machine. Builds Release like scripts/bench.sh and prints a Markdown table.
#
#   scripts/callgrind.sh                  # build folder build/release, 2,000 calls each
#   AAI_BENCH_BUILD=<dir> AAI_CALLGRIND_CALLS=<n> scripts/callgrind.sh
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=${AAI_BENCH_BUILD:-$root/build/release}
calls=${AAI_CALLGRIND_CALLS:-2000}
command -v valgrind >/dev/null || { echo "callgrind.sh: valgrind is not installed" >&2; exit 2; }

cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DAAI_BUILD_TESTS=OFF >/dev/null
cmake --build "$build" --target rpc_bench >/dev/null

out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT

echo "| in-process call | instructions per call |"
echo "|---|---|"
for entry in "aai_measured_argless:isAnyUserAllowedToAccessJob (no arguments)" \
             "aai_measured_sink_localuser:userChanged (a LocalUser)" \
             "aai_measured_edituser:editUser (a LocalUser and a reply handler)"; do
    function=${entry%%:*}
    label=${entry#*:}
    # Each function runs once before the measured run; callgrind counts both, so two runs of
    # different lengths give the cost of one call without what a first call sets up.
    total() {
        AAI_BENCH_CALLGRIND=$1 valgrind --tool=callgrind --toggle-collect="$function" \
            --callgrind-out-file="$out/cg.out" "$build/bench/rpc_bench" >/dev/null 2>&1
        sed -n 's/^summary: \([0-9]*\).*/\1/p; s/^totals: \([0-9]*\).*/\1/p' "$out/cg.out" | head -1
    }
    small=$(total 1)
    large=$(total "$calls")
    echo "| $label | $(( (large - small) / (calls - 1) )) |"
done
