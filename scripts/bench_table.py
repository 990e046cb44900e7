#!/usr/bin/env python3
"""The table of docs/performance.md from benchmark runs kept by scripts/bench.sh.

    scripts/bench_table.py RUN_DIR [RUN_DIR ...]

Each RUN_DIR holds one run's codec.json, free.json and pinned.json (AAI_BENCH_KEEP). Every figure
is the median of that run's repetitions; with several runs, each cell is the median over the runs
and the ratio column adds the range of the runs' ratios, since figures move from run to run more
than within one.
"""
import json
import os
import statistics
import sys

NS = {"ns": 1.0, "us": 1e3, "ms": 1e6, "s": 1e9}


def medians(path):
    with open(path) as f:
        runs = json.load(f)["benchmarks"]
    result = {}
    for run in runs:
        # A benchmark of one repetition (the deadline's lateness) has no aggregates: its one run.
        single = run.get("repetitions") == 1 and run.get("run_type") == "iteration"
        if run.get("aggregate_name") != "median" and not single:
            continue
        name = run["run_name"].split("/real_time")[0].split("/iterations:")[0]
        run["ns"] = run["real_time"] * NS[run.get("time_unit", "ns")]
        result[name] = run
    return result


def fmt_ns(ns):
    return "%.0f ns" % ns if ns < 10_000 else "%.1f µs" % (ns / 1e3)


class Row:
    """One measurement: its value, its floor and the ratio between them, for one run."""

    def __init__(self, label, mode, value, floor, floor_label, ratio, ratio_fmt, target, met, value_fmt=fmt_ns):
        self.key = (label, mode)
        self.value, self.floor, self.ratio = value, floor, ratio
        self.floor_label, self.ratio_fmt, self.target, self.met, self.value_fmt = (
            floor_label, ratio_fmt, target, met, value_fmt)


def rows_of(run_dir):
    rows = []

    def ratio_row(label, mode, runs, name, floor, floor_label, limit):
        if name not in runs or floor not in runs:
            return
        ratio = runs[name]["ns"] / runs[floor]["ns"]
        rows.append(Row(label, mode, runs[name]["ns"], runs[floor]["ns"], floor_label, ratio, "%.2f×",
                        "≤ %g×" % limit if limit else "—", (lambda r: r <= limit) if limit else None))

    codec = medians(os.path.join(run_dir, "codec.json"))
    for record in ("LocalUser", "Domain"):
        ratio_row("%s encode+decode" % record, "—", codec, "BM_%s_RoundTrip" % record, "BM_%s_Memcpy" % record,
                  "memcpy", 50)

    for mode, file in (("free", "free.json"), ("pinned", "pinned.json")):
        runs = medians(os.path.join(run_dir, file))
        ratio_row("void call with a LocalUser", mode, runs, "call/void_localuser", "floor/void_localuser",
                  "raw round trip", 1.25)
        ratio_row("void call with a bool (setFlag1)", mode, runs, "call/void_bool", "floor/void_bool",
                  "raw round trip", None)
        ratio_row("checkPasswordComplexity", mode, runs, "call/check_password", "floor/check_password",
                  "raw round trip", None)
        ratio_row("call with a callback", mode, runs, "call/callback", "floor/callback", "two raw round trips", 1.25)
        two, floor = "call2/void_localuser_two_threads", "floor/void_localuser"
        if two in runs and floor in runs:
            # Time per call of the two threads together (wall time / calls): calls per raw round trip.
            per_rt = runs[floor]["ns"] / runs[two]["ns"]
            rows.append(Row("two threads, one connection", mode, runs[two]["ns"], runs[floor]["ns"],
                            "raw round trip", per_rt, "%.2f calls per round trip", "≥ 1.3", lambda r: r >= 1.3,
                            lambda ns: fmt_ns(ns) + " per call"))
        sink = "inprocess/sink_localuser"
        if sink in runs:
            # Two decimals: the benchmark's own bookkeeping adds a few allocations per run.
            allocs = round(runs[sink].get("allocs_per_call", float("nan")), 2)
            decode = round(runs[sink].get("record_decode_allocs", float("nan")), 2)
            rows.append(Row("in-process userChanged (a LocalUser alone)", mode, runs[sink]["ns"], decode,
                            "allocations (decoding the record)", allocs, "%.2f allocations per call",
                            "≤ decoding + 2", lambda a, d=decode: a <= d + 2))
        late = "deadline/lateness"
        if late in runs:
            median = runs[late].get("lateness_median_us", float("nan"))
            worst = runs[late].get("lateness_worst_us", float("nan"))
            rows.append(Row("a caller let go after its deadline (1,000 calls)", mode, median, None, "", worst,
                            "worst %.0f µs", "≤ 100 ms", lambda w: w <= 100_000, lambda us: "%.0f µs" % us))
        many = "scale/void_bool_1000_connections"
        if many in runs:
            ratio_row("setFlag1 among 1,000 connections", mode, runs, many, "call/void_bool",
                      "setFlag1 on one connection", 1.5)
            kib = runs[many].get("service_rss_kib_per_connection", float("nan"))
            rows.append(Row("service memory per idle connection", mode, kib, None, "", None, "", "≤ 64 KiB",
                            lambda _, k=kib: k <= 64, lambda k: "%.1f KiB" % k))
        for name, label, limit in (("inprocess/argless", "in-process call without arguments", 2),
                                   ("inprocess/void_localuser", "in-process editUser (a LocalUser and a handler)",
                                    None)):
            if name in runs:
                allocs = round(runs[name].get("allocs_per_call", float("nan")), 2)
                rows.append(Row(label, mode, runs[name]["ns"], None, "", allocs, "%.2f allocations per call",
                                "≤ %g allocations" % limit if limit else "—",
                                (lambda a, l=limit: a <= l) if limit else None))
    return rows


def cell_floor(row, floor):
    if floor is None:
        return "—"
    if row.floor_label.startswith("allocations"):
        return "%.2f %s" % (floor, row.floor_label)
    return "%s (%s)" % (fmt_ns(floor), row.floor_label)


def main(run_dirs):
    per_run = [rows_of(d) for d in run_dirs]
    print("| measurement | CPUs | median | floor (median) | ratio | target | status |")
    print("|---|---|---|---|---|---|---|")
    for first in per_run[0]:
        same = [r for rows in per_run for r in rows if r.key == first.key]
        value = statistics.median(r.value for r in same)
        floor = statistics.median(r.floor for r in same) if first.floor is not None else None
        ratio_cell, status = "—", ""
        if first.ratio is not None:
            ratios = [r.ratio for r in same]
            ratio = statistics.median(ratios)
            ratio_cell = first.ratio_fmt % ratio
            if len(same) > 1 and max(ratios) > min(ratios):
                ratio_cell += " (runs %.2f–%.2f)" % (min(ratios), max(ratios))
        else:
            ratio = None
        if first.met is not None:
            status = "met" if first.met(ratio if ratio is not None else value) else "not met"
        print("| " + " | ".join((first.key[0], first.key[1], first.value_fmt(value), cell_floor(first, floor),
                                 ratio_cell, first.target, status)) + " |")


if __name__ == "__main__":
    if len(sys.argv) < 2:
        sys.exit(__doc__)
    main(sys.argv[1:])
