#!/usr/bin/env python3
"""Prints the benchmark table from the engine's JSON and whole.sh's lines.

usage: table.py ENGINE_JSON WHOLE_TSV
"""
import json
import sys

# (measured, baseline, label, budget as a ratio; None: reported only).
ENGINE = [
    ("insert/dorvane", "insert/bare", "insert: data_put_value / bare put", 3.0),
    ("insert/floor", "insert/bare", "insert: its library calls alone / bare put", None),
    ("insert/dorvane", "insert/floor", "insert: data_put_value / its library calls alone", None),
    ("retrieve_1d/dorvane", "retrieve_1d/bare", "retrieve 507 columns, 1 day / bare walk", 2.0),
    ("retrieve_30d/dorvane", "retrieve_30d/bare", "retrieve 507 columns, 30 days / bare walk", 2.0),
    ("retrieve_365d/dorvane", "retrieve_365d/bare", "retrieve 507 columns, 1 year / bare walk", 2.0),
    ("copy/dorvane", "copy/bare", "copy 1M records / bare walk-and-put", 1.3),
    ("truncate/dorvane", "truncate/bare", "truncate 1M records / bare walk, delete, compact", 1.3),
    ("draw/dorvane", "draw/bare", "draw 640x320, 2 graphs / gdImagePng alone", None),
    ("steady_compacting/dorvane", "steady_compacting/bare",
     "daily -t, steady store, compacting / bare walk-and-delete", 2.0),
    ("steady_full/dorvane", "steady_full/bare",
     "daily -t, steady store, pages full / bare walk-and-delete", 1.3),
]
# (counter, baseline counter, records counter, label, budget): file sizes of
# the store of ten units' runs, from the engine's "sizes" case.
SIZES = [
    ("grown", "grown_packed", "grown_records",
     "store, a year of 10 units' -q runs / packed copy (-f)", None),
    ("first", "first_packed", "first_records",
     "the same after -t 30:730 / packed copy (-f)", 1.15),
]
WHOLE_BUDGET = 1.10


def fmt(seconds):
    for unit, scale in (("s", 1), ("ms", 1e-3), ("us", 1e-6)):
        if seconds >= scale:
            return "%.3g %s" % (seconds / scale, unit)
    return "%.3g ns" % (seconds / 1e-9)


def kib(n):
    return "%.0f KiB" % (n / 1024)


def fmt_bytes(n):
    for unit, scale in (("GB", 1e9), ("MB", 1e6), ("kB", 1e3)):
        if n >= scale:
            return "%.3g %s" % (n / scale, unit)
    return "%d B" % n


def engine_counters(path):
    for b in json.load(open(path))["benchmarks"]:
        if b["run_name"].split("/iterations")[0] == "sizes":
            return b
    return {}


def engine_medians(path):
    scale = {"ns": 1e-9, "us": 1e-6, "ms": 1e-3, "s": 1.0}
    out = {}
    for b in json.load(open(path))["benchmarks"]:
        if b.get("run_type") == "aggregate" and b.get("aggregate_name") != "median":
            continue
        name = b["run_name"].split("/iterations")[0]
        out[name] = b["real_time"] * scale[b["time_unit"]]
    return out


def main():
    medians = engine_medians(sys.argv[1])
    rows = []
    for measured, baseline, label, budget in ENGINE:
        d, b = medians.get(measured), medians.get(baseline)
        if d is None or b is None:
            rows.append((label, "-", "-", "-", "-", "not run", ""))
            continue
        ratio = d / b
        within = "-" if budget is None else ("yes" if ratio <= budget else "NO")
        rows.append((label, fmt(d), fmt(b), "%.2fx" % ratio,
                     "-" if budget is None else "%.2fx" % budget, within, ""))
    counters = engine_counters(sys.argv[1])
    for measured, baseline, records, label, budget in SIZES:
        d, b, n = counters.get(measured), counters.get(baseline), counters.get(records)
        if not d or not b or not n:
            rows.append((label, "-", "-", "-", "-", "not run", ""))
            continue
        ratio = d / b
        within = "-" if budget is None else ("yes" if ratio <= budget else "NO")
        rows.append((label, fmt_bytes(d), fmt_bytes(b), "%.2fx" % ratio,
                     "-" if budget is None else "%.2fx" % budget, within,
                     "%.1f bytes a record" % (d / n)))
    worst = counters.get("steady_worst")
    if worst:
        rows.append(("daily -t for 8 days, largest file / packed copy", "-", "-",
                     "%.2fx" % worst, "1.15x", "yes" if worst <= 1.15 else "NO", ""))
    for line in open(sys.argv[2]):
        f = line.rstrip("\n").split("\t")
        if f[0] == "ratio":
            d, b = float(f[2]), float(f[3])
            budget = float(f[4]) if len(f) > 4 else WHOLE_BUDGET
            ratio = d / b
            rows.append((f[1], fmt(d), fmt(b), "%.2fx" % ratio, "%.2fx" % budget,
                         "yes" if ratio <= budget else "NO", ""))
        elif f[0] == "bytes":
            d, b, limit = int(f[2]), int(f[3]), int(f[4])
            rows.append((f[1], kib(d), kib(b), "%.2fx" % (d / b), "3x + 256 KiB",
                         "yes" if d <= limit else "NO", ""))
        elif f[0] == "alone":
            rows.append((f[1], fmt(float(f[2])), "-", "-", "-", "-",
                         "peak %.1f MiB" % (int(f[3]) / 1024)))
    head = ("case", "dorvane", "baseline", "ratio", "budget", "within", "note")
    widths = [max(len(r[i]) for r in rows + [head]) for i in range(len(head))]
    for r in [head] + rows:
        print("| " + " | ".join(c.ljust(w) for c, w in zip(r, widths)) + " |")
        if r is head:
            print("|" + "|".join("-" * (w + 2) for w in widths) + "|")


main()
