"""Plots a link designer expects, drawn with matplotlib in the spirit of
nodrix-chart plot: the eye diagram folded at the bit period, the spectrum in
dB against frequency, BER against sampling instant and decision threshold,
and a sweep's curve with error bars over seeds.

Without a display (and outside a notebook) matplotlib draws with Agg, so
scripts can save figures on a machine with no screen.
"""

from __future__ import annotations

import os
import re
import sys

import matplotlib

if not os.environ.get("MPLBACKEND") and "ipykernel" not in sys.modules \
        and not (os.environ.get("DISPLAY") or os.environ.get("WAYLAND_DISPLAY")):
    matplotlib.use("Agg")

import matplotlib.pyplot as plt  # noqa: E402
import numpy as np  # noqa: E402

from .charts import Chart, ChartFile  # noqa: E402
from .errors import NodrixError  # noqa: E402


def _axes(ax):
    if ax is None:
        _, ax = plt.subplots()
    return ax


def fold_eye(values: np.ndarray, samples_per_bit: int, step: float) -> list[tuple[np.ndarray, np.ndarray]]:
    """Traces of two bit periods each, every trace ending on the sample the
    next begins with, as nodrix-chart draws them."""
    span = 2 * samples_per_bit
    traces = []
    for first in range(0, len(values) - 1, span):
        last = min(first + span, len(values) - 1)
        traces.append((np.arange(last - first + 1) * step, values[first:last + 1]))
    return traces


def plot_eye(chart: Chart, ax=None, **style):
    """An eye scope's signal folded into traces of two bit periods."""
    if chart.samples_per_bit < 1 or chart.rows < 2:
        raise NodrixError(f"chart {chart.number} is no eye signal: it states {chart.samples_per_bit} samples per bit "
                          f"and holds {chart.rows} samples")
    ax = _axes(ax)
    timed = np.isfinite(chart.delt) and chart.delt > 0
    step = chart.delt if timed else 1.0
    style = {"color": "tab:blue", "linewidth": 0.6, "alpha": 0.5} | style
    for x, y in fold_eye(chart.values, chart.samples_per_bit, step):
        ax.plot(x, y, **style)
    ax.set_xlim(0, 2 * chart.samples_per_bit * step)
    ax.set_xlabel("time [ps]" if timed else "time [samples]")
    ax.set_ylabel(chart.column_title(0))
    ax.set_title(chart.title or "Eye diagram")
    return ax


def plot_spectrum(chart: Chart, ax=None, **style):
    """A spectrum analyser's spectrum against frequency: the power in its
    resolution bandwidth in dBm (an XY chart), or the density in dB."""
    ax = _axes(ax)
    if chart.axis is None and len(chart.columns) == 2:
        ax.plot(chart.columns[0].values, chart.columns[1].values, **style)
        ax.set_xlabel(chart.column_title(0))
        ax.set_ylabel(chart.column_title(1))
        ax.set_title(chart.title or "Spectrum")
        return ax
    axis = chart.axis
    x = axis[1] if axis is not None else np.arange(chart.rows)
    ax.plot(x, chart.values, **style)
    ax.set_xlabel(axis[0] if axis is not None else "point")
    column = chart.columns[0]
    ax.set_ylabel(f"{column.label or 'power'} [{column.unit}]" if column.label or column.unit
                  else "power spectral density [dB]")
    ax.set_title(chart.title or "Spectrum")
    return ax


def plot_xy(chart: Chart, ax=None, **style):
    """Every further column of an XY chart against the first; a BER on a
    logarithmic axis."""
    ax = _axes(ax)
    x = chart.columns[0].values
    for k in range(1, len(chart.columns)):
        ax.plot(x, chart.columns[k].values, marker=".", label=chart.column_title(k).strip(), **style)
    ax.set_xlabel(chart.column_title(0))
    y_title = chart.column_title(1) if len(chart.columns) > 1 else ""
    ax.set_ylabel(y_title.strip())
    if "BER" in y_title.upper():
        ax.set_yscale("log")
    ax.set_title(chart.title.strip())
    return ax


def plot_ber(charts: ChartFile, axes=None):
    """An estimator's charts side by side: BER against the sampling instant and
    against the decision threshold."""
    if axes is None:
        _, axes = plt.subplots(1, len(charts), figsize=(5 * len(charts), 4), squeeze=False)
        axes = axes[0]
    for chart, ax in zip(charts, axes):
        plot_xy(chart, ax)
    return axes


def _channel_named(sweep, column: str, default: bool) -> str:
    """A column of channel N named by its frequency: "channel 3 (192.95 THz)"
    for the default eye Q, else "ch3_ber_optimal (192.95 THz)"."""
    found = re.match(r"ch(\d+)_", column)
    frequency = sweep.frequencies.get(int(found.group(1))) if found else None
    if frequency is None:
        return column
    return f"channel {found.group(1)} ({frequency:.2f} THz)" if default else f"{column} ({frequency:.2f} THz)"


def plot_sweep(sweep, y: str | None = None, x: str | None = None, ax=None, **style):
    """A sweep's result against its first varied parameter: with seeds the
    means with error bars of the spread, else the points.  `y` is a column of
    sweep.csv (default: every channel's eye Q in dB); with two or more varied
    parameters one line per value of the others."""
    ax = _axes(ax)
    x = x or sweep.varied[0]
    table = sweep.table
    ys = [y] if y else [c for c in table.columns if c.endswith("_q_eye_db")]
    if not ys or any(c not in table.columns for c in ys):
        raise NodrixError(f"{sweep.directory}/sweep.csv: no column {y or '*_q_eye_db'}")
    seeded = "seed" in table.columns and sweep.seeds > 1
    rows = sweep.means if seeded else sweep.points
    if seeded:  # each mean beside the spread of the same values
        rows = rows.merge(sweep.spreads[sweep.varied + ys], on=sweep.varied, suffixes=("", " spread"))
    others = [v for v in sweep.varied if v != x]
    groups = rows.groupby(others, sort=False) if others else [((), rows)]
    for column in ys:
        for key, group in groups:
            key = key if isinstance(key, tuple) else (key,)
            label = _channel_named(sweep, column, not y) + "".join(f", {n}={v}" for n, v in zip(others, key))
            if seeded:
                ax.errorbar(group[x], group[column], yerr=group[column + " spread"], capsize=3, marker="o",
                            label=label, **style)
            else:
                ax.plot(group[x], group[column], marker="o", label=label, **style)
    if any(":x" in v.get("written", "") for v in sweep.definition.get("vary", []) if v["name"] == x):
        ax.set_xscale("log")
    unit = next((v.get("unit", "") for v in sweep.definition.get("vary", []) if v["name"] == x), "")
    ax.set_xlabel(f"{x} [{unit}]" if unit else x)
    ax.set_ylabel(ys[0] if len(ys) == 1 else "eye Q [dB]")
    ax.set_title(f"Sweep of {sweep.definition.get('name', '')}")
    ax.legend()
    return ax
