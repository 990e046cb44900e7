#!/usr/bin/env bash
# Builds the benchmarks in Release and runs them: the codec once, the calls twice (both CPUs free,
# then every thread and the service child pinned to one CPU with AAI_BENCH_PIN=1). Prints a
# Markdown table of medians over the repetitions, each beside its floor from the same run, with the
# ratio and the target it is held to.
#
#   scripts/bench.sh                       # build folder build/release, 5 repetitions
#   AAI_BENCH_BUILD=<dir> AAI_BENCH_REPETITIONS=<n> AAI_BENCH_KEEP=<dir> scripts/bench.sh
#
# AAI_BENCH_KEEP keeps the runs' JSON in that folder.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=${AAI_BENCH_BUILD:-$root/build/release}
repetitions=${AAI_BENCH_REPETITIONS:-5}

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
echo "running codec_bench" >&2
"$build/bench/codec_bench" "${flags[@]}" >"$out/codec.json"
echo "running rpc_bench, both CPUs free" >&2
AAI_BENCH_PIN=0 "$build/bench/rpc_bench" "${flags[@]}" >"$out/free.json"
echo "running rpc_bench, pinned to one CPU" >&2
AAI_BENCH_PIN=1 "$build/bench/rpc_bench" "${flags[@]}" >"$out/pinned.json"

python3 - "$out" <<'PY'
import json, sys, os

out = sys.argv[1]
NS = {"ns": 1.0, "us": 1e3, "ms": 1e6, "s": 1e9}

def medians(path):
    with open(path) as f:
        runs = json.load(f)["benchmarks"]
    result = {}
    for run in runs:
        if run.get("aggregate_name") != "median":
            continue
        name = run["run_name"].split("/real_time")[0]
        run["ns"] = run["real_time"] * NS[run.get("time_unit", "ns")]
        result[name] = run
    return result

def fmt_ns(ns):
    return "%.0f ns" % ns if ns < 10_000 else "%.1f µs" % (ns / 1e3)

rows = []

def ratio_row(label, mode, runs, name, floor, floor_label, limit):
    if name not in runs or floor not in runs:
        rows.append((label, mode, "missing", "", "", "", ""))
        return
    ratio = runs[name]["ns"] / runs[floor]["ns"]
    rows.append((label, mode, fmt_ns(runs[name]["ns"]), "%s (%s)" % (fmt_ns(runs[floor]["ns"]), floor_label),
                 "%.2f×" % ratio, "≤ %g×" % limit if limit else "—",
                 ("met" if ratio <= limit else "not met") if limit else ""))

codec = medians(os.path.join(out, "codec.json"))
for record in ("LocalUser", "Domain"):
    ratio_row("%s encode+decode" % record, "—", codec, "BM_%s_RoundTrip" % record, "BM_%s_Memcpy" % record,
              "memcpy", 50)

for mode, file in (("free", "free.json"), ("pinned", "pinned.json")):
    runs = medians(os.path.join(out, file))
    ratio_row("void call with a LocalUser", mode, runs, "call/void_localuser", "floor/void_localuser",
              "raw round trip", 1.25)
    ratio_row("void call with a bool (setFlag1)", mode, runs, "call/void_bool", "floor/void_bool",
              "raw round trip", None)
    ratio_row("checkPasswordComplexity", mode, runs, "call/check_password", "floor/check_password",
              "raw round trip", None)
    ratio_row("call with a callback", mode, runs, "call/callback", "floor/callback", "two raw round trips", 1.25)
    two = "call2/void_localuser_two_threads"
    floor = "floor/void_localuser"
    if two in runs and floor in runs:
        # Time per call of the two threads together (wall time / calls): calls per raw round trip.
        per_rt = runs[floor]["ns"] / runs[two]["ns"]
        rows.append(("two threads, one connection", mode, fmt_ns(runs[two]["ns"]) + " per call",
                     "%s (raw round trip)" % fmt_ns(runs[floor]["ns"]), "%.2f calls per round trip" % per_rt,
                     "≥ 1.3", "met" if per_rt >= 1.3 else "not met"))
    sink = "inprocess/sink_localuser"
    if sink in runs:
        allocs = round(runs[sink].get("allocs_per_call", float("nan")), 2)
        decode = round(runs[sink].get("record_decode_allocs", float("nan")), 2)
        rows.append(("in-process userChanged (a LocalUser alone)", mode, fmt_ns(runs[sink]["ns"]),
                     "%.2f allocations (decoding the record)" % decode, "%.2f allocations per call" % allocs,
                     "≤ decoding + 2", "met" if allocs <= decode + 2 else "not met"))
    many = "scale/void_bool_1000_connections"
    if many in runs:
        ratio_row("setFlag1 among 1,000 connections", mode, runs, many, "call/void_bool",
                  "setFlag1 on one connection", 1.5)
        kib = runs[many].get("service_rss_kib_per_connection", float("nan"))
        rows.append(("service memory per idle connection", mode, "%.1f KiB" % kib, "—", "—", "≤ 64 KiB",
                     "met" if kib <= 64 else "not met"))
    for name, label, limit in (("inprocess/argless", "in-process call without arguments", 2),
                               ("inprocess/void_localuser", "in-process editUser (a LocalUser and a handler)", None)):
        if name in runs:
            # Two decimals: the benchmark's own bookkeeping adds a few allocations per run.
            allocs = round(runs[name].get("allocs_per_call", float("nan")), 2)
            rows.append((label, mode, fmt_ns(runs[name]["ns"]), "—", "%.2f allocations per call" % allocs,
                         "≤ %g allocations" % limit if limit else "—",
                         ("met" if allocs <= limit else "not met") if limit else ""))

print("| measurement | CPUs | median | floor (median) | ratio | target | status |")
print("|---|---|---|---|---|---|---|")
for row in rows:
    print("| " + " | ".join(row) + " |")
PY
