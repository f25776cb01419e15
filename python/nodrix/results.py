"""Run and sweep directories as objects.

A run directory holds what `nodrix run -o DIR` left: charts, reports, the
memory map and delay file, and console.txt, the program's summary (a sweep
point's directory also holds point.toml and result.toml).  A sweep directory
holds sweep.toml, sweep.csv and points/NNNN/, one run directory per point.

Files are tied to their block by the instance number that ends their default
names ("one_channel_PST0011.DAT" is block 11's report).
"""

from __future__ import annotations

import os
import re
import tomllib
from dataclasses import dataclass, field
from functools import cached_property
from pathlib import Path

from .charts import ChartFile, read_chart
from .errors import ResultFileError
from .reports import (EstimatorReport, MultilevelReport, OsnrReport, PowerMeterReport, read_estimator_report,
                      read_multilevel_report, read_osnr_report, read_power_meter_report)

_CHART_EXTENSIONS = (".qxy", ".qsp", ".qsg")
_BLOCK_NUMBER = re.compile(r"(\d{4,})$")


def _read_toml(path: Path) -> dict:
    try:
        with open(path, "rb") as f:
            return tomllib.load(f)
    except FileNotFoundError:
        raise ResultFileError(path, "no such file") from None
    except tomllib.TOMLDecodeError as e:
        raise ResultFileError(path, f"not a readable TOML record: {e}") from None
    except OSError as e:
        raise ResultFileError(path, f"cannot be read: {e.strerror}") from None


def block_of(name: str) -> int | None:
    """The block whose default file name this is, by its four-digit number."""
    found = _BLOCK_NUMBER.search(Path(name).stem)
    return int(found.group(1)) if found else None


# ---- The console summary ----

_NUMBER = r"[-+]?(?:\d+\.?\d*(?:e[-+]?\d+)?|inf|nan)"
_CHANNEL_ROW = re.compile(
    rf"^\s+(?P<channel>\d+)\s+(?P<frequency_thz>{_NUMBER}) THz\s+"
    rf"(?:(?P<power_mw>{_NUMBER}) mW \(\s*(?P<power_dbm>{_NUMBER}) dBm\)|-)\s+"
    rf"(?P<ber_optimal>{_NUMBER})\s+(?P<q_optimal_db>{_NUMBER}) dB \(\s*(?P<q_optimal>{_NUMBER})\)\s+"
    rf"(?:(?P<q_eye_db>{_NUMBER}) dB \((?P<q_eye>{_NUMBER})\)|-)(?P<rest>.*)$", re.IGNORECASE)
_UNOBSERVED_ROW = re.compile(rf"^\s+(?P<channel>\d+)\s+(?P<frequency_thz>{_NUMBER}) THz\s+(?P<message>\D.*)$")
_METER_ROW = re.compile(rf"^\s+(?P<id>\d+) (?P<label>.*): (?:(?P<power_dbm>{_NUMBER}) dBm(?P<rest>.*)|no report)$")


def parse_summary(text: str) -> tuple[list[dict], list[dict]]:
    """The channel rows and the power meters of the program's summary."""
    channels, meters, section = [], [], None
    for line in text.splitlines():
        if line.startswith("Simulation of "):
            section = "channels"
        elif line.startswith("Optical power meters"):
            section = "meters"
        elif line.startswith(("Files written", "Optical signal-to-noise ratio")):
            section = None  # the OSNR meters are read from their reports
        elif section == "channels" and (found := _CHANNEL_ROW.match(line)):
            row = {k: (float(v) if v is not None else float("nan")) for k, v in found.groupdict().items()
                   if k != "rest"}
            row["channel"] = int(row["channel"])
            rest = found.group("rest")
            # The summary names each floor in words; either is a conventionally truncated figure.
            row["ber_floored"] = "BER below 1e-40" in rest
            row["q_floored"] = "Q at its floor of 2" in rest
            row["truncated"] = row["ber_floored"] or row["q_floored"]
            partial = re.search(r"partial: (\d+) of (\d+) bits", rest)
            row["bits_observed"] = int(partial.group(1)) if partial else None
            row["bits_requested"] = int(partial.group(2)) if partial else None
            row["state"] = "measured"
            channels.append(row)
        elif section == "channels" and (found := _UNOBSERVED_ROW.match(line)):
            channels.append({"channel": int(found.group("channel")),
                             "frequency_thz": float(found.group("frequency_thz")),
                             "state": "not observed" if found.group("message").startswith("not observed")
                             else "no report", "message": found.group("message").strip()})
        elif section == "meters" and (found := _METER_ROW.match(line)):
            value = found.group("power_dbm")
            meters.append({"id": int(found.group("id")), "label": found.group("label"),
                           "power_dbm": float(value) if value is not None else float("nan")})
    return channels, meters


def files_written(text: str) -> list[str]:
    """The files a run put in place, as its summary lists them."""
    lines = text.splitlines()
    if "Files written" not in lines:
        return []
    names = []
    for line in lines[lines.index("Files written") + 1:]:
        if not line.startswith("  "):
            break
        names.append(line.strip())
    return names


@dataclass
class Summary:
    """A run's summary values: one row per measured channel, one per power meter."""

    channels: object   # pandas DataFrame
    meters: object     # pandas DataFrame
    source: str        # the file they were read from
    osnr: object = None  # pandas DataFrame: one row per OSNR meter and channel


class Run:
    """A run directory: its summary values, every chart and report by block,
    and the files it wrote."""

    def __init__(self, directory):
        self.directory = Path(directory)
        if not self.directory.is_dir():
            raise ResultFileError(self.directory, "no such run directory")

    def __repr__(self) -> str:
        return f"Run({str(self.directory)!r})"

    @cached_property
    def record(self) -> dict | None:
        """result.toml of a sweep point, when there is one."""
        path = self.directory / "result.toml"
        return _read_toml(path) if path.exists() else None

    @cached_property
    def console(self) -> str | None:
        """What the program printed: its summary (console.txt)."""
        path = self.directory / "console.txt"
        return path.read_text(encoding="utf-8", errors="replace") if path.exists() else None

    @cached_property
    def files(self) -> list[str]:
        """The result files of the run, sorted: as its record or summary lists
        them, or else every file in the directory."""
        if self.record is not None and "file" in self.record:
            return sorted(f["name"] for f in self.record["file"])
        listed = files_written(self.console) if self.console else []
        if listed:
            return sorted(listed)
        return sorted(p.name for p in self.directory.iterdir() if p.is_file() and not p.name.startswith("."))

    def path(self, name: str) -> Path:
        return self.directory / name

    @cached_property
    def charts(self) -> dict[str, ChartFile]:
        """Every chart file of the run by file name."""
        return {name: read_chart(self.path(name)) for name in self.files if name.lower().endswith(_CHART_EXTENSIONS)}

    @cached_property
    def reports(self) -> dict[str, EstimatorReport | MultilevelReport | PowerMeterReport | OsnrReport]:
        """Every estimator, power meter and OSNR meter report by file name."""
        found = {}
        for name in self.files:
            if not name.endswith(".DAT"):
                continue
            text = self.path(name).read_text(encoding="utf-8", errors="replace")
            if "Optical power at " in text:
                found[name] = read_power_meter_report(self.path(name))
            elif "Multilevel Estimator at " in text:
                found[name] = read_multilevel_report(self.path(name))
            elif "Optical signal-to-noise ratio at " in text:
                found[name] = read_osnr_report(self.path(name))
            elif "Estimator at " in text:
                found[name] = read_estimator_report(self.path(name))
        return found

    def block(self, number: int) -> dict:
        """The charts and reports of block `number`, by file name."""
        every = {**self.charts, **self.reports}
        return {name: item for name, item in every.items() if block_of(name) == number}

    def channel(self, channel) -> dict:
        """The charts and reports of a planned channel's blocks (a
        PlanChannel of Link.channels()), by file name."""
        every = {**self.charts, **self.reports}
        return {name: item for name, item in every.items() if block_of(name) in channel.blocks}

    def _by_block(self, items: dict, keep) -> dict:
        return {block_of(name) if block_of(name) is not None else name: item
                for name, item in items.items() if keep(name, item)}

    @property
    def estimators(self) -> dict[int, EstimatorReport]:
        return self._by_block(self.reports, lambda n, r: isinstance(r, EstimatorReport))

    @property
    def multilevel_estimators(self) -> dict[int, MultilevelReport]:
        return self._by_block(self.reports, lambda n, r: isinstance(r, MultilevelReport))

    @property
    def meters(self) -> dict[int, PowerMeterReport]:
        return self._by_block(self.reports, lambda n, r: isinstance(r, PowerMeterReport))

    @property
    def osnr(self) -> dict[int, OsnrReport]:
        """The OSNR meters' reports, by block."""
        return self._by_block(self.reports, lambda n, r: isinstance(r, OsnrReport))

    @property
    def eyes(self) -> dict:
        """The eye scopes' signals (.qsg), by block: each a Chart."""
        return {k: f[0] for k, f in self._by_block(self.charts, lambda n, f: n.lower().endswith(".qsg")).items() if len(f)}

    @property
    def spectra(self) -> dict:
        """The spectrum analysers' spectra, by block: each a Chart (.qsp on the
        density scale, or an XY chart of power in dBm against frequency)."""
        return {k: f[0] for k, f in self._by_block(self.charts, lambda n, f: _is_spectrum(n, f)).items() if len(f)}

    @property
    def ber_charts(self) -> dict[int, ChartFile]:
        """The estimators' charts (.qxy: against the instant and the threshold), by block."""
        return self._by_block(self.charts, lambda n, f: n.lower().endswith(".qxy") and not _is_spectrum(n, f))

    @cached_property
    def summary(self) -> Summary:
        """The summary values: from result.toml of a sweep point, or else from
        the summary the program printed (console.txt)."""
        import pandas as pd

        if self.record is not None:
            channels = self.record.get("channel", [])
            meters = self.record.get("meter", [])
            source = "result.toml"
        elif self.console is not None:
            channels, meters = parse_summary(self.console)
            source = "console.txt"
        else:
            raise ResultFileError(self.directory, "holds no summary of its run (no result.toml, no console.txt)")
        osnr = self.record.get("osnr", []) if self.record is not None else [
            {"meter": block_of(name), "frequency_thz": c.frequency_thz, "osnr_db": c.osnr_db,
             "signal_dbm": c.signal_dbm, "noise_dbm": c.noise_dbm}
            for name, r in self.reports.items() if isinstance(r, OsnrReport) for c in r.channels]
        return Summary(pd.DataFrame(channels), pd.DataFrame(meters), str(self.directory / source), pd.DataFrame(osnr))


def _is_spectrum(name: str, charts: ChartFile) -> bool:
    """A spectrum analyser's result: a .qsp file, or an XY chart against frequency."""
    if name.lower().endswith(".qsp"):
        return True
    return name.lower().endswith(".qxy") and len(charts) > 0 and charts[0].columns[0].label == "frequency"


def open_run(directory) -> Run:
    """A run directory as one object."""
    return Run(directory)


class Sweep:
    """A sweep directory: its table (sweep.csv) as a pandas DataFrame, what it
    varies, and each point's run."""

    def __init__(self, directory):
        self.directory = Path(directory)
        if not (self.directory / "sweep.toml").is_file():
            raise ResultFileError(self.directory, "not a sweep directory: no sweep.toml")

    def __repr__(self) -> str:
        return f"Sweep({str(self.directory)!r})"

    @cached_property
    def definition(self) -> dict:
        """sweep.toml: the link, its changes and the values varied."""
        return _read_toml(self.directory / "sweep.toml")

    @property
    def varied(self) -> list[str]:
        """The varied parameters (ID.PARAM), in the order of --vary."""
        return [v["name"] for v in self.definition.get("vary", [])]

    @property
    def seeds(self) -> int:
        return int(self.definition.get("seeds", 1))

    @cached_property
    def table(self):
        """sweep.csv as a DataFrame, every column by its header; `point` stays
        text ("0001", its directory's name), the rows of means and spreads
        have none; so does `convergence`, the verdict of a sweep with
        converge."""
        import pandas as pd

        path = self.directory / "sweep.csv"
        if not path.is_file():
            raise ResultFileError(path, "no such file: the sweep's table is made when its points have run "
                                        "(nodrix sweep --collect makes it from what the points left)")
        try:
            table = pd.read_csv(path, dtype={"point": str, "status": str, "message": str, "convergence": str},
                                float_precision="round_trip", keep_default_na=False, na_values=[""])
        except (pd.errors.ParserError, pd.errors.EmptyDataError, UnicodeDecodeError) as e:
            raise ResultFileError(path, f"not a readable table: {e}") from None
        if "point" not in table.columns:
            raise ResultFileError(path, "not a sweep table: no column \"point\"")
        return table

    def _rows(self, seed: str | None):
        table = self.table
        if "seed" not in table.columns:
            return table if seed is None else table.iloc[0:0]
        seeds = table["seed"].astype(str)
        if seed is None:
            rows = table[table["point"].notna()].copy()
            rows["seed"] = rows["seed"].astype(int)
            return rows
        return table[seeds == seed]

    @property
    def points(self):
        """The rows of the points themselves (no means, no spreads)."""
        return self._rows(None)

    @property
    def means(self):
        """With --seeds: per combination the mean over the seeds that completed."""
        return self._rows("mean")

    @property
    def spreads(self):
        """With --seeds: per combination the standard deviation (n - 1) over the seeds."""
        return self._rows("spread")

    @cached_property
    def frequencies(self) -> dict[int, float]:
        """Each channel's frequency [THz] by its number N, the chN_ of the
        table's columns, as the points' records give it."""
        found = {}
        for run in self.runs():
            for c in (run.record or {}).get("channel", []):
                if c.get("channel", 0) > 0:
                    found.setdefault(c["channel"], c["frequency_thz"])
        return found

    def point(self, number) -> Run:
        """The run of point `number` (1, or "0001")."""
        name = number if isinstance(number, str) else f"{int(number):04d}"
        return Run(self.directory / "points" / name)

    def runs(self):
        """Every point's run, in the table's order."""
        return [self.point(p) for p in self.points["point"]]


def open_sweep(directory) -> Sweep:
    """A sweep directory as one object."""
    return Sweep(directory)
