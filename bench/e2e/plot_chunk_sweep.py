#!/usr/bin/env python3
"""Plots print throughput against chunk size for both host transports from
the CSV that chunk_sweep.sh prints.

    bench/e2e/plot_chunk_sweep.py sweep.csv bench/e2e/chunk_sweep.png
"""
import csv
import sys

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402


def main(src, dst):
    series = {}
    with open(src) as f:
        for row in csv.DictReader(f):
            series.setdefault(row["transport"], []).append((int(row["chunk"]), float(row["MBps"])))
    labels = {"shm": "shared memory (orvanta.Printer.0)", "serial": "serial port (pseudo-terminal)"}
    fig, ax = plt.subplots(figsize=(7, 4.2), dpi=110)
    for name, points in series.items():
        points.sort()
        ax.plot([c / 1024 for c, _ in points], [m for _, m in points], marker="o", label=labels.get(name, name))
    ax.set_xscale("log", base=2)
    chunks = sorted({c for points in series.values() for c, _ in points})
    ax.set_xticks([c / 1024 for c in chunks])
    ax.set_xticklabels(["%g" % (c / 1024) for c in chunks])
    ax.set_yscale("log")
    ax.set_xlabel("chunk size requested by the host (KiB)")
    ax.set_ylabel("file payload throughput (MB/s)")
    ax.set_title("cups_zefa_service end to end: print file served to the host")
    ax.grid(True, which="both", alpha=0.3)
    ax.legend()
    fig.tight_layout()
    fig.savefig(dst)


if __name__ == "__main__":
    main(sys.argv[1], sys.argv[2])
