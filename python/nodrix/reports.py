"""Reports of the measurement blocks read into typed records.

A report is a text file ("NAME_PST0011.DAT", "NAME_OPM0005.DAT"); its
results are the lines that begin with " P ", a label, "=" and a number.
The estimator's report also states the thresholds, the approximation used
and its warnings on lines of their own.
"""

from __future__ import annotations

import os
import re
from dataclasses import dataclass, field

from .errors import ReportFileError

_NUMBER = re.compile(r"\s*([+-]?(?:\d+\.?\d*|\.\d+)(?:[eE][+-]?\d+)?|[+-]?inf|nan)", re.IGNORECASE)


def _value_after_equals(line: str) -> float | None:
    """The number after the last "=" of a report line."""
    at = line.rfind("=")
    if at < 0:
        return None
    found = _NUMBER.match(line[at + 1:])
    return float(found.group(1)) if found else None


def _read_lines(path) -> list[str]:
    try:
        with open(path, encoding="utf-8", errors="replace") as f:
            return f.read().splitlines()
    except FileNotFoundError:
        raise ReportFileError(path, "no such file") from None
    except IsADirectoryError:
        raise ReportFileError(path, "is a directory, not a report") from None
    except OSError as e:
        raise ReportFileError(path, f"cannot be read: {e.strerror}") from None


def _results(lines: list[str]) -> dict[str, float]:
    """Every " P " line: its label (blanks collapsed) and its number."""
    results = {}
    for line in lines:
        if line.startswith(" P ") and "=" in line:
            value = _value_after_equals(line)
            if value is not None:
                label = " ".join(line[3:line.rfind("=")].split())
                results[label] = value
    return results


@dataclass
class ThresholdResult:
    """The BER and equivalent Q at one decision threshold."""

    threshold: float | None        # [A]
    ber: float                     # -1 when the threshold lies outside the eye
    q_linear: float | None
    q_db: float | None

    @property
    def outside_eye(self) -> bool:
        return self.ber == -1.0


@dataclass
class EstimatorReport:
    """The report of a BER/Q estimator (pestim).

    BER modes give ``optimal`` and, where the report has them, ``relative``,
    ``fixed`` and ``mean``; the Q mode gives ``q_db``, ``q_linear`` and the
    eye's side results.  ``results`` holds every " P " line by its label."""

    path: str
    mode: str                                  # "ber" or "q"
    title: str
    pattern_length: int | None
    approximation: str | None = None           # "Gaussian" or "Chi^2"
    optimal: ThresholdResult | None = None
    relative: ThresholdResult | None = None
    fixed: ThresholdResult | None = None
    mean: ThresholdResult | None = None
    q_db: float | None = None
    q_linear: float | None = None
    optimal_threshold: float | None = None
    eye_closure_db: float | None = None
    average_eye_opening: float | None = None
    eye_opening: float | None = None
    jitter_ps: float | None = None
    sampling_instant_tolerance_ps: float | None = None
    truncated: bool = False                    # the BER was conventionally truncated (floored at 1e-40)
    warnings: list[str] = field(default_factory=list)
    results: dict[str, float] = field(default_factory=dict)

    @property
    def ber(self) -> float | None:
        """The BER at the optimal threshold (BER modes)."""
        return self.optimal.ber if self.optimal else None


@dataclass
class PowerMeterReport:
    """The report of an optical power meter (opowme)."""

    path: str
    title: str
    power_dbm: float
    power_mw: float

    @property
    def observed(self) -> bool:
        """False when nothing reached its measuring window (the meter then reports -100 dBm)."""
        return self.power_dbm > -100.0


def _threshold(lines: list[str], which: str) -> ThresholdResult | None:
    found = {}
    for line in lines:
        for key, prefix in (("threshold", f"{which} Decision Threshold ="), ("ber", f" P BER at {which} Decision"),
                            ("linear", f"Equivalent Q at {which} Decision Threshold [linear]"),
                            ("db", f" P Equivalent Q at {which} Decision Threshold [dB]")):
            if line.startswith(prefix):
                found[key] = _value_after_equals(line)
    if found.get("ber") is None:
        return None
    return ThresholdResult(found.get("threshold"), found["ber"], found.get("linear"), found.get("db"))


def _warnings(lines: list[str]) -> list[str]:
    """The blocks that begin "WARNING !" or "ERROR !", each as one text."""
    blocks, current = [], None
    for line in lines:
        if line.strip() in ("WARNING !", "ERROR !"):
            current = [line.strip()]
            blocks.append(current)
        elif current is not None and line.startswith("  "):
            current.append(line.strip())
        else:
            current = None
    return [" ".join(b) for b in blocks]


def read_estimator_report(path) -> EstimatorReport:
    """Reads a BER/Q estimator's report; ReportFileError when it is not one or
    lacks its results."""
    path = os.fspath(path)
    lines = _read_lines(path)
    head = next((line for line in lines if line.startswith(("BER Estimator at ", "Q Estimator at "))), None)
    if head is None:
        raise ReportFileError(path, "not an estimator report: no line \"BER Estimator at\" or \"Q Estimator at\"")
    mode = "ber" if head.startswith("BER") else "q"
    title = head.split(" at ", 1)[1].rstrip()
    pattern = next((line for line in lines if "evaluation with pattern length" in line), None)
    report = EstimatorReport(path, mode, title, int(pattern.split()[-1]) if pattern else None,
                             results=_results(lines), warnings=_warnings(lines))
    report.truncated = any("conventionally truncated" in line for line in lines)
    for line in lines:
        if line.endswith("Approximation used"):
            report.approximation = line.split()[0]
    r = report.results
    if mode == "ber":
        report.optimal = _threshold(lines, "Optimal")
        if report.optimal is None or report.optimal.q_db is None:
            raise ReportFileError(path, "the estimator report lacks its BER and Q at the optimal threshold")
        report.relative, report.fixed, report.mean = (_threshold(lines, w) for w in ("Relative", "Fixed", "Mean"))
    else:
        report.q_db, report.q_linear = r.get("Q value [dB]"), r.get("Q value [linear]")
        if report.q_db is None:
            raise ReportFileError(path, "the estimator report lacks its Q value")
        threshold = next((line for line in lines if line.startswith("Optimal threshold")), None)
        report.optimal_threshold = _value_after_equals(threshold) if threshold else None
        report.eye_closure_db = r.get("Eye closure [dB]")
        report.average_eye_opening = r.get("Average eye opening")
        report.eye_opening = r.get("Eye opening")
        report.jitter_ps = r.get("Jitter value [ps]")
        report.sampling_instant_tolerance_ps = r.get("Sampling Instant Tolerance [ps]")
    return report


@dataclass
class MultilevelEye:
    """One eye of a multi-level estimator's report, between two levels."""

    threshold: float | None   # [A]
    q_linear: float | None
    q_db: float | None
    height: float | None      # the opening left at 1e-6 of each level [A]; negative when closed
    width_ps: float | None


@dataclass
class MultilevelReport:
    """A multi-level estimator's report: its error ratios and eyes by name
    ("lower", "middle", "upper"; "single" for two levels)."""

    path: str
    title: str
    levels: int
    ser: float | None = None
    ber: float | None = None
    mean_level: float | None = None   # mean of the collected samples [A]
    eyes: dict[str, MultilevelEye] = field(default_factory=dict)
    warnings: list[str] = field(default_factory=list)


def read_multilevel_report(path) -> MultilevelReport:
    """Reads a multi-level estimator's report; ReportFileError when it is not one."""
    path = os.fspath(path)
    lines = _read_lines(path)
    head = next((line for line in lines if line.startswith("Multilevel Estimator at ")), None)
    levels = next((line for line in lines if line.startswith("Levels = ")), None)
    if head is None or levels is None:
        raise ReportFileError(path, "not a multi-level estimator report: no \"Multilevel Estimator at\" and levels")
    r = _results(lines)
    report = MultilevelReport(path, head.split(" at ", 1)[1].rstrip(), int(levels.split("=")[1].split(",")[0]),
                              r.get("Symbol Error Ratio"), r.get("BER after Gray Demapping"),
                              warnings=_warnings(lines))
    for line in lines:
        if line.startswith("Mean Level"):
            report.mean_level = _value_after_equals(line)
        elif line.startswith("Eye ") and ": levels" in line:
            name = line[4:line.index(":")]
            threshold = next((x for x in lines if x.startswith(f"Decision Threshold {name} ")), None)
            q = next((x for x in lines if x.startswith(f"Q {name} [linear]")), None)
            report.eyes[name] = MultilevelEye(_value_after_equals(threshold) if threshold else None,
                                              _value_after_equals(q) if q else None, r.get(f"Q {name} [dB]"),
                                              r.get(f"Eye Height {name}"), r.get(f"Eye Width {name} [ps]"))
    return report


def read_power_meter_report(path) -> PowerMeterReport:
    """Reads a power meter's report; ReportFileError when it lacks its power."""
    path = os.fspath(path)
    lines = _read_lines(path)
    head = next((line for line in lines if line.startswith("Optical power at ")), None)
    results = _results(lines)
    if head is None or "Power [dBm]" not in results or "Power [mW]" not in results:
        raise ReportFileError(path, "not a power meter report: no \"Optical power at\" with its power in dBm and mW")
    return PowerMeterReport(path, head[len("Optical power at "):].rstrip(), results["Power [dBm]"],
                            results["Power [mW]"])


@dataclass
class OsnrChannel:
    """One channel of an OSNR meter's report; the noise is in the reference bandwidth."""

    frequency_thz: float
    signal_dbm: float
    noise_dbm: float
    osnr_db: float             # inf: no noise


@dataclass
class OsnrReport:
    """The report of an OSNR meter: a row per channel at its input."""

    path: str
    title: str
    reference_nm: float
    channels: list = field(default_factory=list)


def read_osnr_report(path) -> OsnrReport:
    """Reads an OSNR meter's report; ReportFileError when it is none."""
    path = os.fspath(path)
    lines = _read_lines(path)
    head = next((line for line in lines if line.startswith("Optical signal-to-noise ratio at ")), None)
    band = next((line for line in lines if line.startswith("Reference bandwidth [nm] =")), None)
    if head is None or band is None:
        raise ReportFileError(path, "not an OSNR meter report: no \"Optical signal-to-noise ratio at\" "
                                    "with its reference bandwidth")
    report = OsnrReport(path, head[len("Optical signal-to-noise ratio at "):].rstrip(), _value_after_equals(band))
    for line in lines:
        words = line[3:].split() if line.startswith(" P ") else []
        if len(words) == 5:
            report.channels.append(OsnrChannel(*(float(w) for w in words[1:])))
    return report


def read_report(path):
    """An estimator's, a power meter's or an OSNR meter's report, by what the file holds."""
    lines = _read_lines(path)
    if any(line.startswith("Optical power at ") for line in lines):
        return read_power_meter_report(path)
    if any(line.startswith("Multilevel Estimator at ") for line in lines):
        return read_multilevel_report(path)
    if any(line.startswith("Optical signal-to-noise ratio at ") for line in lines):
        return read_osnr_report(path)
    return read_estimator_report(path)
