#!/usr/bin/env bash
# Builds the benchmarks in Release and runs them: the codec once, the calls twice (both CPUs free,
# then every thread and the service child pinned to one CPU with AAI_BENCH_PIN=1). Prints a
# Markdown table of medians over the repetitions, each beside its floor from the same run, with the
# ratio and the target it is held to (scripts/bench_table.py). Several runs: each figure is the
# median over the runs, with the range of the runs' ratios.
#
#   scripts/bench.sh                       # build folder build/release, 1 run of 5 repetitions
#   AAI_BENCH_BUILD=<dir> AAI_BENCH_RUNS=<n> AAI_BENCH_REPETITIONS=<n> AAI_BENCH_KEEP=<dir> scripts/bench.sh
#
# AAI_BENCH_KEEP keeps the runs' JSON in that folder (run-1, run-2, ...).
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=${AAI_BENCH_BUILD:-$root/build/release}
repetitions=${AAI_BENCH_REPETITIONS:-5}
runs=${AAI_BENCH_RUNS:-1}

cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DAAI_BUILD_TESTS=OFF >/dev/null
cmake --build "$build" --target codec_bench rpc_bench >/dev/null

if [[ -n "${AAI_BENCH_KEEP:-}" ]]; then
    out=$AAI_BENCH_KEEP
    mkdir -p "$out"
else
    out=$(mktemp -d)
    trap 'rm -rf "$out"' EXIT
fi

flags=(--benchmark_repetitions="$repetitions" --benchmark_report_aggregates_only=true
       --benchmark_format=json --benchmark_min_time=0.2)
for run in $(seq 1 "$runs"); do
    dir=$out/run-$run
    mkdir -p "$dir"
    echo "run $run of $runs: codec_bench" >&2
    "$build/bench/codec_bench" "${flags[@]}" >"$dir/codec.json"
    echo "run $run of $runs: rpc_bench, both CPUs free" >&2
    AAI_BENCH_PIN=0 "$build/bench/rpc_bench" "${flags[@]}" >"$dir/free.json"
    echo "run $run of $runs: rpc_bench, pinned to one CPU" >&2
    AAI_BENCH_PIN=1 "$build/bench/rpc_bench" "${flags[@]}" >"$dir/pinned.json"
done

python3 "$root/scripts/bench_table.py" "$out"/run-*
