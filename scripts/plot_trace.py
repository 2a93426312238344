#!/usr/bin/python3
"""Plots a motor trace recorded by TraceRecorder (spinbench --record FILE) as one PNG.

    scripts/plot_trace.py run.csv                 writes run.png beside it
    scripts/plot_trace.py run.csv --out arm.png

One row of panels per motor, named by family, id and bus (two arms reuse their ids on two
buses): position and target, velocity, torque against time. Changes of the enable state and of
the state code (faults, 5004 offline) are marked with vertical lines. Traces recorded before
the bus column existed plot too.
The title names the file and the recording's duration. Needs Debian's python3-matplotlib;
runs with /usr/bin/python3.
"""

import argparse
import csv
import math
import os
import sys

COLUMNS = ["t", "id", "family", "target", "position", "velocity", "torque", "temperature",
           "enabled", "code", "age", "bus"]
NUMERIC = [c for c in COLUMNS if c not in ("id", "family", "bus")]


class TraceError(Exception):
    """A trace file that cannot be plotted; the message says why."""


def number(path, text, line, column, optional=False):
    if optional and text == "":
        return math.nan
    try:
        return float(text)
    except ValueError:
        raise TraceError(f"{path}: line {line}: {column} is not a number: {text!r}") from None


def read_trace(path):
    """Returns {motor label: {column: [values]}} and the recording's duration in seconds."""
    if not os.path.exists(path):
        raise TraceError(f"{path}: no such file")
    with open(path, newline="", encoding="utf-8", errors="replace") as f:
        lines = [(n, line) for n, line in enumerate(f, 1) if line.strip()]
    if not lines:
        raise TraceError(f"{path}: the file is empty")
    header_line, header = lines[0]
    columns = [c.strip() for c in header.strip().split(",")]
    if columns not in (COLUMNS, COLUMNS[:-1]):
        raise TraceError(f"{path}: line {header_line}: not a trace header "
                         f"(expected {','.join(COLUMNS)})")
    motors = {}
    rows = 0
    for n, line in lines[1:]:
        if line.startswith("#"):
            continue
        fields = next(csv.reader([line]))
        if len(fields) != len(columns):
            raise TraceError(f"{path}: line {n}: {len(fields)} fields, expected {len(columns)}")
        row = dict(zip(columns, fields))
        label = f"{row['family']} {row['id']}"
        if row.get("bus"):
            label += f" on {row['bus']}"
        series = motors.setdefault(label, {c: [] for c in NUMERIC})
        for c in series:
            series[c].append(number(path, row[c], n, c, optional=c in ("target", "age")))
        rows += 1
    if rows == 0:
        raise TraceError(f"{path}: no samples after the header")
    times = [t for s in motors.values() for t in s["t"]]
    return motors, max(times) - min(times)


def changes(series):
    """(time, text) wherever the enable state or the state code changes."""
    marks = []
    last = None
    for t, enabled, code in zip(series["t"], series["enabled"], series["code"]):
        state = (int(enabled), int(code))
        if last is not None and state != last:
            text = f"code {state[1]}" if state[1] else ("enabled" if state[0] else "disabled")
            marks.append((t, text))
        last = state
    return marks


def plot(path, out):
    motors, duration = read_trace(path)
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    fig, axes = plt.subplots(len(motors), 3, figsize=(13, 2.6 * len(motors) + 0.8),
                             squeeze=False, sharex=True)
    for row, (label, s) in enumerate(sorted(motors.items())):
        pos_ax, vel_ax, tor_ax = axes[row]
        pos_ax.plot(s["t"], s["position"], label="position", color="tab:blue")
        if any(not math.isnan(v) for v in s["target"]):
            pos_ax.plot(s["t"], s["target"], label="target", color="tab:orange",
                        linestyle="--")
        vel_ax.plot(s["t"], s["velocity"], color="tab:green")
        tor_ax.plot(s["t"], s["torque"], color="tab:red")
        pos_ax.set_ylabel(label.replace(" on ", "\n") + "\nrad", fontsize="small")
        vel_ax.set_ylabel("rad/s")
        tor_ax.set_ylabel("N·m")
        pos_ax.legend(loc="upper left", fontsize="small")
        for t, text in changes(s):
            for ax in (pos_ax, vel_ax, tor_ax):
                ax.axvline(t, color="grey", linestyle=":", linewidth=1)
            pos_ax.annotate(text, (t, 1), xycoords=("data", "axes fraction"), fontsize="x-small",
                            rotation=90, va="top", ha="right", color="dimgrey")
        for ax in (pos_ax, vel_ax, tor_ax):
            ax.grid(True, alpha=0.3)
    axes[0][0].set_title("position and target")
    axes[0][1].set_title("velocity")
    axes[0][2].set_title("torque")
    for ax in axes[-1]:
        ax.set_xlabel("time (s)")
    fig.suptitle(f"{os.path.basename(path)}: {len(motors)} motor(s), {duration:.2f} s")
    fig.tight_layout(rect=(0, 0, 1, 1 - 0.5 / fig.get_figheight()))
    fig.savefig(out, dpi=80)
    plt.close(fig)


def short_of(path, position, tolerance):
    """[(motor label, closest distance)] of the motors that never came within `tolerance` rad
    of `position`, in label order."""
    motors, _ = read_trace(path)
    closest = {label: min(abs(p - position) for p in s["position"])
               for label, s in motors.items()}
    return [(label, d) for label, d in sorted(closest.items()) if d > tolerance]


def main(argv):
    parser = argparse.ArgumentParser(description="Plots a jointbus motor trace (CSV) as a PNG.")
    parser.add_argument("trace", help="the CSV file that spinbench --record wrote")
    parser.add_argument("--out", help="the PNG to write (default: the trace's name with .png)")
    parser.add_argument("--reached", type=float, metavar="RAD",
                        help="also check that every motor came within --tolerance of RAD; "
                             "name those that did not and exit 1")
    parser.add_argument("--tolerance", type=float, default=0.05, metavar="RAD",
                        help="for --reached (default 0.05)")
    args = parser.parse_args(argv)
    out = args.out or os.path.splitext(args.trace)[0] + ".png"
    try:
        plot(args.trace, out)
        short = [] if args.reached is None else short_of(args.trace, args.reached, args.tolerance)
    except TraceError as e:
        print(f"plot_trace: {e}", file=sys.stderr)
        return 1
    except OSError as e:
        print(f"plot_trace: {e}", file=sys.stderr)
        return 1
    print(f"plot_trace: wrote {out}")
    for label, distance in short:
        print(f"plot_trace: {label} did not reach {args.reached:g} rad: it came no closer than "
              f"{distance:.3f} rad", file=sys.stderr)
    if args.reached is not None and not short:
        print(f"plot_trace: every motor reached {args.reached:g} rad")
    return 1 if short else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
