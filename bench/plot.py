#!/usr/bin/python3
"""Draws the burst figures from the benchmarks' own CSV output as one PNG.

  bench/plot.py --service service.csv [--mail mail.csv] [--latency latency.csv]
                --out docs/bench-burst.png

service.csv comes from `bench/app/run.sh --only burst --out service.csv`,
mail.csv from `OUT=mail.csv bench/mail/run.sh`, latency.csv (round trips per
message over a slow link) from `bench/app/run.sh latency --out latency.csv`.
Each bar is the median over the rounds; the whisker spans the lowest to the
highest round.
"""
import argparse
import csv
import statistics

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402


def read(path):
    with open(path) as f:
        return list(csv.DictReader(f))


def bars(ax, title, groups, unit="messages/s", figure="%.0f"):
    """groups: [(label, [values])]; draws medians with min-max whiskers."""
    labels = [g[0] for g in groups]
    medians = [statistics.median(g[1]) for g in groups]
    low = [m - min(g[1]) for m, g in zip(medians, groups)]
    high = [max(g[1]) - m for m, g in zip(medians, groups)]
    colours = ["#2f6db5" if "Corvane" in label or "component" in label else "#9a9a9a"
               for label in labels]
    ax.bar(range(len(groups)), medians, yerr=[low, high], capsize=4, color=colours)
    ax.set_xticks(range(len(groups)))
    ax.set_xticklabels(labels, rotation=20, ha="right", fontsize=8)
    ax.set_ylabel(unit)
    ax.set_title(title, fontsize=9)
    for i, m in enumerate(medians):
        ax.text(i, m, " " + figure % m, ha="center", va="bottom", fontsize=7)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--service", required=True)
    parser.add_argument("--mail")
    parser.add_argument("--latency")
    parser.add_argument("--out", required=True)
    args = parser.parse_args()

    service = read(args.service)
    counts = sorted({int(r["count"]) for r in service})
    panels = len(counts) + (1 if args.mail else 0) + (1 if args.latency else 0)
    fig, axes = plt.subplots(1, panels, figsize=(4.2 * panels, 4.2), squeeze=False)
    for ax, count in zip(axes[0], counts):
        rows = [r for r in service if int(r["count"]) == count]
        column = lambda name: [float(r[name]) for r in rows]  # noqa: E731
        groups = [("Corvane pass", column("corvane")),
                  ("smtp-source -d\n(one connection)", column("source_d")),
                  ("smtp-source\n(one per message)", column("source"))]
        if any(v > 0 for v in column("curl")):
            groups.append(("curl tool loop", column("curl")))
        bars(ax, "Burst of %d alarms through the service\n(%d rounds)" % (count, len(rows)),
             groups)
    if args.mail:
        rows = read(args.mail)
        column = lambda name: [float(r[name]) for r in rows]  # noqa: E731
        bars(axes[0][len(counts)], "Mail component alone\n(%d rounds)" % len(rows),
             [("component,\nconnection kept", column("component_kept")),
              ("smtp-source -d", column("source_d")),
              ("component,\nsession per message", column("component_session")),
              ("smtp-source", column("source"))])
    if args.latency:
        rows = read(args.latency)
        groups = []
        for n in sorted({int(r["recipients"]) for r in rows}):
            mine = [r for r in rows if int(r["recipients"]) == n]
            groups.append(("Corvane,\n%d address%s" % (n, "" if n == 1 else "es"),
                           [float(r["corvane_rt"]) for r in mine]))
            groups.append(("smtp-source -d,\n%d recipient%s" % (n, "" if n == 1 else "s"),
                           [float(r["source_d_rt"]) for r in mine]))
        bars(axes[0][-1], "Round trips per message over a %.0f ms link\n(%d rounds)"
             % (float(rows[0]["rtt_ms"]), len({r["round"] for r in rows})), groups,
             unit="round trips per message", figure="%.2f")
    fig.tight_layout()
    fig.savefig(args.out, dpi=96)


if __name__ == "__main__":
    main()
