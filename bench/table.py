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
    ("truncate/dorvane", "truncate/bare", "truncate 1M records / bare walk-and-delete", 1.3),
    ("draw/dorvane", "draw/bare", "draw 640x320, 2 graphs / gdImagePng alone", None),
]
WHOLE_BUDGET = 1.10


def fmt(seconds):
    for unit, scale in (("s", 1), ("ms", 1e-3), ("us", 1e-6)):
        if seconds >= scale:
            return "%.3g %s" % (seconds / scale, unit)
    return "%.3g ns" % (seconds / 1e-9)


def kib(n):
    return "%.0f KiB" % (n / 1024)


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
