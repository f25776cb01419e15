"""Chart files of a run read into NumPy arrays.

One reader for every form of the chart family, laid out as the program
writes them: the compact binary forms of the models (version 1 XY charts
"NodrixXY  1" and spectra "NodrixSpr  1", version 1 and 2 sampled signals
"NodrixSgn  2"), the version 3 binary charts ("NodrixXY 3", "QuarvinXY") and
the keyword-value text forms.  The binary form is chosen by the extensions
qxy, qsg, qsp and bxy (any case), the text form for all others, its separator
by the extension (prn blank, txt tab, csv comma, ssv colon, any other blank).

A file that ends inside a structure, or holds what no chart file holds,
raises ChartFileError naming the file and the damage; a file that ends
cleanly after a whole chart reads as the charts it holds.
"""

from __future__ import annotations

import math
import os
import re
import stat
import struct
from dataclasses import dataclass, field

import numpy as np

from .errors import ChartFileError

# File-type codes.
ELECTRICAL_SIGNAL, OPTICAL_SIGNAL_1, OPTICAL_SIGNAL_2, SPECTRUM, SPECTRUM_TEXT, SYMBOL_SIGNAL, XY, CONTAINER = range(1, 9)
SIGNAL_TYPES = (ELECTRICAL_SIGNAL, OPTICAL_SIGNAL_1, OPTICAL_SIGNAL_2, SYMBOL_SIGNAL)
SPECTRUM_TYPES = (SPECTRUM, SPECTRUM_TEXT)
FILE_TYPE_NAMES = {
    ELECTRICAL_SIGNAL: "electrical signal", OPTICAL_SIGNAL_1: "optical signal, one polarisation",
    OPTICAL_SIGNAL_2: "optical signal, two polarisations", SPECTRUM: "spectrum",
    SPECTRUM_TEXT: "spectrum (text form)", SYMBOL_SIGNAL: "multi-level signal", XY: "XY chart",
    CONTAINER: "chart container",
}
# Point types.
DOUBLE, INT = 3, 5

_TEXT_SIZE = 127          # characters kept of a text
_MAX_COLUMNS = 65536
_MAGIC_KEEP, _MAGIC_SCAN = 31, 256
_BINARY_EXTENSIONS = ("qxy", "qsg", "qsp", "bxy")
_SEPARATORS = {"prn": " ", "txt": "\t", "csv": ",", "ssv": ":"}


@dataclass
class Column:
    """One column of a chart: its descriptor and its values."""

    index: int
    label: str
    unit: str
    integer: bool              # int32 points, else float64
    minimum: float             # the extremes the file states
    maximum: float
    starting_scale: int = 0
    ordering: float = 0.0
    values: np.ndarray = field(default_factory=lambda: np.zeros(0), repr=False)


@dataclass
class Chart:
    """One chart: its header and columns.  Signals and spectra leave their
    time or frequency axis implicit; ``axis`` gives it."""

    number: int                # position in the file, from 0
    file_type: int             # of this chart (a text optical signal is typed by its columns)
    chart_type: int = 0
    graph_style: int = 0
    samples_stated: int = 0    # SamplesNum of the header (0: not stated)
    title: str = ""
    label_y: str = ""
    unit_y: str = ""
    fsym: float = 0.0          # bit rate, or the band's reference frequency [THz]
    delt: float = 0.0          # sample spacing [ps]
    samples_per_bit: int = 0
    tstart: float = 0.0        # first sample's time [ps], or first frequency [THz] of a spectrum
    stop_frequency: float = 0.0
    frequency_step: float = 0.0
    columns: list[Column] = field(default_factory=list, repr=False)

    @property
    def rows(self) -> int:
        return len(self.columns[0].values) if self.columns else 0

    @property
    def is_spectrum(self) -> bool:
        return self.file_type in SPECTRUM_TYPES

    @property
    def is_signal(self) -> bool:
        return self.file_type in SIGNAL_TYPES

    @property
    def axis(self) -> tuple[str, np.ndarray] | None:
        """The implicit axis of a spectrum ("frequency [THz]") or a signal
        ("time [ps]"): start + row x step; None for XY charts."""
        if self.is_spectrum and self.frequency_step != 0.0:
            return "frequency [THz]", self.tstart + np.arange(self.rows, dtype=np.float64) * self.frequency_step
        if self.is_signal and self.delt != 0.0:
            return "time [ps]", self.tstart + np.arange(self.rows, dtype=np.float64) * self.delt
        return None

    @property
    def values(self) -> np.ndarray:
        """The first column's values (a signal's samples, a spectrum's points)."""
        return self.columns[0].values

    @property
    def bit_period_ps(self) -> float:
        """Samples per bit times the sample spacing: the eye's period."""
        return self.samples_per_bit * self.delt

    def column_title(self, k: int) -> str:
        """A column's name with its unit in brackets, as nodrix-chart csv heads it."""
        column = self.columns[k]
        if column.label or column.unit:
            return _titled(column.label or self._default_label(k), column.unit)
        if len(self.columns) == 1 and (self.label_y or self.unit_y):
            return _titled(self.label_y or self._default_label(k), self.unit_y)
        return self._default_label(k)

    def _default_label(self, k: int) -> str:
        t = self.file_type
        if t == ELECTRICAL_SIGNAL:
            return "signal"
        if t == OPTICAL_SIGNAL_1:
            return "re" if k == 0 else "im"
        if t == OPTICAL_SIGNAL_2:
            return ("re x", "im x", "re y", "im y")[k] if k < 4 else f"column {k}"
        if t in SPECTRUM_TYPES:
            return "spectrum"
        if t == SYMBOL_SIGNAL:
            return f"bit {k}"
        return "value" if len(self.columns) == 1 else f"column {k}"

    def table(self):
        """The chart as a pandas DataFrame: the implicit axis first, then every
        column, headed as nodrix-chart csv heads them."""
        import pandas as pd

        data = {}
        axis = self.axis
        if axis is not None:
            data[axis[0]] = axis[1]
        for k, column in enumerate(self.columns):
            data[self.column_title(k)] = column.values
        return pd.DataFrame(data)


@dataclass
class ChartFile:
    """A chart file: its form, its type and its charts."""

    path: str
    binary: bool
    version: int
    file_type: int
    header: tuple = (0, 0, 0, 0, 0)
    charts: list[Chart] = field(default_factory=list)

    @property
    def form(self) -> str:
        return f"{'binary' if self.binary else 'text'}, version {self.version}"

    @property
    def type_name(self) -> str:
        return FILE_TYPE_NAMES.get(self.file_type, "unknown type")

    def __repr__(self) -> str:
        titles = ", ".join(repr(c.title.strip()) for c in self.charts)
        return f"ChartFile({self.path!r}, {self.type_name}, {self.form}, charts: {titles})"

    def __len__(self) -> int:
        return len(self.charts)

    def __getitem__(self, k: int) -> Chart:
        return self.charts[k]

    def __iter__(self):
        return iter(self.charts)


def _titled(label: str, unit: str) -> str:
    return f"{label} [{unit}]" if unit else label


def _extension(path: str) -> str | None:
    base = os.path.basename(path)
    return base.rsplit(".", 1)[1] if "." in base else None


def is_binary_path(path) -> bool:
    """True when the extension chooses the binary form (qxy, qsg, qsp, bxy)."""
    ext = _extension(str(path))
    return ext is not None and ext.lower() in _BINARY_EXTENSIONS


def separator_for(path) -> str:
    """The separator of the text form: by a three-letter extension, else a blank."""
    ext = _extension(str(path))
    return _SEPARATORS.get(ext.lower(), " ") if ext is not None and len(ext) == 3 else " "


def _saturate_i32(v: float) -> int:
    if math.isnan(v):
        return 0
    if v >= 2147483647:
        return 2147483647
    if v <= -2147483648:
        return -2147483648
    return int(math.floor(v + 0.5)) if v >= 0 else -int(math.floor(-v + 0.5))


class _Damage(Exception):
    """A reading that stops: "truncated" (the file ends inside a structure) or
    "format" (a field no chart file holds)."""

    def __init__(self, damage: str, what: str):
        super().__init__(what)
        self.damage = damage
        self.what = what


def _truncated(where: str) -> _Damage:
    return _Damage("truncated", f"the file ends inside {where} (truncated or damaged)")


def _format(what: str) -> _Damage:
    return _Damage("format", f"{what} (format error)")


# ---- Numbers as the C library reads them ----

_FLOAT = re.compile(
    r"[ \t\n\v\f\r]*([+-]?(?:0x(?:[0-9a-f]+\.?[0-9a-f]*|\.[0-9a-f]+)(?:p[+-]?\d+)?|(?:\d+\.?\d*|\.\d+)(?:e[+-]?\d+)?"
    r"|inf(?:inity)?|nan(?:\([0-9a-z_]*\))?))[ \t]*", re.IGNORECASE)
_INT = re.compile(r"[ \t\n\v\f\r]*([+-]?\d+)[ \t]*")


def _parse_double(text: str) -> float | None:
    found = _FLOAT.fullmatch(text)
    if not found:
        return None
    number = found.group(1)
    body = number.lstrip("+-").lower()
    if body.startswith("0x"):
        return float.fromhex(number)
    if body.startswith("nan"):
        return math.nan
    return float(number)


def _parse_int(text: str) -> int | None:
    found = _INT.fullmatch(text)
    if not found:
        return None
    value = int(found.group(1))
    return value if -2147483648 <= value <= 2147483647 else None


# ---- Binary forms ----

class _Bytes:
    def __init__(self, data: bytes):
        self.data = data
        self.pos = 0

    def left(self) -> int:
        return len(self.data) - self.pos

    def take(self, n: int, where: str) -> bytes:
        if self.left() < n:
            raise _truncated(where)
        chunk = self.data[self.pos:self.pos + n]
        self.pos += n
        return chunk

    def u8(self, where: str) -> int:
        return self.take(1, where)[0]

    def i32(self, where: str) -> int:
        return struct.unpack("<i", self.take(4, where))[0]

    def f64(self, where: str) -> float:
        return struct.unpack("<d", self.take(8, where))[0]

    def at_end(self) -> bool:
        return self.pos >= len(self.data)

    def text_nul(self, where: str) -> str:
        end = self.data.find(b"\0", self.pos)
        if end < 0:
            self.pos = len(self.data)
            raise _truncated(where)
        text = self.data[self.pos:end]
        self.pos = end + 1
        return _decode(text)

    def text_v3(self, where: str) -> str:
        length = self.i32(where)
        if length < 1:
            raise _format(f"a text of length {length} in {where}")
        end = self.data.find(b"\0", self.pos, self.pos + length)
        if end < 0:
            if self.left() < length:
                self.pos = len(self.data)
                raise _truncated(where)
            raise _format(f"a text longer than its stated length {length} in {where}")
        if end - self.pos + 1 != length:
            raise _format(f"a text shorter than its stated length {length} in {where}")
        text = self.data[self.pos:end]
        self.pos = end + 1
        return _decode(text)


def _decode(raw: bytes) -> str:
    return raw[:_TEXT_SIZE].decode("utf-8", errors="replace")


def _point(b: _Bytes, kind: int, where: str):
    return b.i32(where) if kind == INT else b.f64(where)


def _binary_magic(b: _Bytes) -> tuple[int, int]:
    end = b.data.find(b"\0", 0, _MAGIC_SCAN)
    if end < 0:
        raise _format("Cannot read Header section: not a chart file of a known form")
    b.pos = end + 1
    words = _decode(b.data[:min(end, _MAGIC_KEEP)]).replace("\t", " ").replace("\r", " ").replace("\n", " ").split()
    types = {"NodrixXY": XY, "QuarvinXY": CONTAINER, "NodrixSgn": SYMBOL_SIGNAL, "NodrixSpr": SPECTRUM}
    if not words or words[0] not in types:
        raise _format("Cannot read Header section: not a chart file of a known form")
    version = _parse_int(words[1]) if len(words) > 1 else None
    return types[words[0]], version or 0


def _read_binary(path: str, data: bytes) -> ChartFile:
    b = _Bytes(data)
    magic_type, version = _binary_magic(b)
    if magic_type == CONTAINER or version >= 3:
        form = "v3"
    else:
        form = {XY: "xy", SPECTRUM: "spectrum"}.get(magic_type, "signal")
    if form == "v3" and b.u8("the file header") != 1:
        raise _format("Byte Order invalid")
    if form == "signal" and version < 2:
        header = (b.i32("the file header"), 5, 16, 1, 7)  # a version 1 signal states its type alone
    else:
        header = tuple(b.i32("the file header") for _ in range(5))
    file_type = header[0]
    if form != "v3":
        if file_type in SIGNAL_TYPES:
            form = "signal"
        elif file_type in SPECTRUM_TYPES:
            form = "spectrum"
        elif file_type == XY:
            form = "xy"
        else:
            raise _format(f"Bad file type {file_type}")
    result = ChartFile(path, True, version, file_type, header)
    extra = {}
    if form == "spectrum":
        extra["delt"], extra["fsym"] = b.f64("the file header"), b.f64("the file header")
        if b.i32("the file header") != 0:
            raise _format("Wrong Spectrum Termination")
    elif form in ("v3", "xy") and b.i32("the file header") != 0:
        raise _format("the file header does not end with 0")
    read_chart = {"v3": _v3_chart, "xy": _old_xy_chart, "spectrum": _old_spectrum_chart, "signal": _old_signal_chart}[form]
    while True:
        chart = read_chart(b, file_type, len(result.charts), extra)
        if chart is None:
            return result
        result.charts.append(chart)


def _v3_chart(b: _Bytes, file_type: int, number: int, extra) -> Chart | None:
    where = f"the header of chart {number}"
    if b.at_end():
        # The writer ends every file with an end mark: one that ends without it was cut.
        if extra.get("end_mark"):
            return None
        raise _truncated(where)
    extra["end_mark"] = False
    mark = b.u8(where)
    if mark == 0:
        if b.at_end():
            return None
        mark = b.u8(where)
    if mark != 1:
        raise _format(f"a section mark {mark} where chart {number} should begin")
    chart = Chart(number, file_type)
    chart.chart_type, chart.graph_style, chart.samples_stated, columns = (b.i32(where) for _ in range(4))
    chart.title = b.text_v3(where)
    mark = b.u8(where)
    if mark == 2:
        chart.label_y, chart.unit_y = b.text_v3(where), b.text_v3(where)
        mark = b.u8(where)
    if mark == 3:
        chart.fsym, chart.delt = b.f64(where), b.f64(where)
        chart.samples_per_bit = b.i32(where)
        chart.tstart, chart.stop_frequency, chart.frequency_step = b.f64(where), b.f64(where), b.f64(where)
        mark = b.u8(where)
    if mark != 0:
        raise _format(f"a section mark {mark} in {where}")
    if chart.samples_stated < 0 or columns < 0 or columns > _MAX_COLUMNS:
        raise _format(f"{chart.samples_stated} rows of {columns} columns in {where}")
    for k in range(columns):
        cwhere = f"column {k} of chart {number}"
        mark = b.u8(cwhere)
        if mark != 4:
            raise _format(f"a section mark {mark} where {cwhere} should begin")
        kind = b.i32(cwhere)
        if kind not in (DOUBLE, INT):
            raise _format(f"Bad column type {kind}")
        minimum, maximum = _point(b, kind, cwhere), _point(b, kind, cwhere)
        scale, ordering = b.i32(cwhere), b.f64(cwhere)
        label, unit = b.text_v3(cwhere), b.text_v3(cwhere)
        chart.columns.append(Column(k, label, unit, kind == INT, minimum, maximum, scale, ordering))
    mark = b.u8(where)
    if mark != 0:
        raise _format(f"a section mark {mark} after the columns of chart {number}")
    extra["end_mark"] = _v3_rows(b, chart)
    return chart


def _v3_rows(b: _Bytes, chart: Chart) -> bool:
    """Rows: byte 5 and one value per column, until the stated count, a byte 0
    or (count not stated) the end of the file. True when a byte 0 ended them."""
    where = f"the rows of chart {chart.number}"
    known = chart.samples_stated > 0
    dtype = np.dtype([("mark", "u1")] + [(f"c{k}", "<i4" if c.integer else "<f8") for k, c in enumerate(chart.columns)])
    rows, total, end_mark = [], 0, False
    while not (known and total == chart.samples_stated):
        whole = b.left() // dtype.itemsize
        count = min(whole, chart.samples_stated - total) if known else whole
        if count:
            block = np.frombuffer(b.data, dtype, count=count, offset=b.pos)
            stops = np.flatnonzero(block["mark"] != 5)
            good = int(stops[0]) if stops.size else count
            rows.append(block[:good])
            total += good
            b.pos += good * dtype.itemsize
            if good == count:
                continue
        # At a mark that is not 5, or at a row the end of the file cuts.
        if b.at_end():
            if known:
                raise _truncated(where)
            break
        mark = b.u8(where)
        if mark == 0:
            end_mark = True
            break
        if mark != 5:
            raise _format(f"a section mark {mark} in {where}")
        raise _truncated(where)
    table = np.concatenate(rows) if rows else np.zeros(0, dtype)
    for k, column in enumerate(chart.columns):
        column.values = np.array(table[f"c{k}"], dtype=np.int32 if column.integer else np.float64)
    return end_mark


def _made_columns(chart: Chart, count: int, minimum: float, maximum: float, integer: bool = False,
                  labels: tuple = ()) -> None:
    for k in range(count):
        label, unit = labels[k] if k < len(labels) else ("", "")
        lo, hi = (_saturate_i32(minimum), _saturate_i32(maximum)) if integer else (minimum, maximum)
        chart.columns.append(Column(k, label, unit, integer, lo, hi))


def _float_block(b: _Bytes, count: int, where: str) -> np.ndarray:
    raw = b.take(8 * count, where)
    return np.frombuffer(raw, "<f8").astype(np.float64)


def _compact_end(number: int) -> None:
    """The end of a compact file where a chart would begin: its writers make
    such a file only to write a chart into it, so one without any was cut."""
    if number == 0:
        raise _truncated("the header of chart 0")
    return None


def _old_xy_chart(b: _Bytes, file_type: int, number: int, extra) -> Chart | None:
    if b.at_end():
        return _compact_end(number)
    where = f"the header of chart {number}"
    chart = Chart(number, file_type)
    chart.samples_stated = b.i32(where)
    minimum, maximum = b.f64(where), b.f64(where)
    chart.title, label_x, unit_x, chart.label_y, chart.unit_y = (b.text_nul(where) for _ in range(5))
    if b.i32(where) != 0 or chart.samples_stated < 0:
        raise _format(f"{where} is not closed by 0")
    _made_columns(chart, 2, minimum, maximum, labels=((label_x, unit_x), (chart.label_y, chart.unit_y)))
    values = _float_block(b, 2 * chart.samples_stated, f"the rows of chart {number}").reshape(-1, 2)
    chart.columns[0].values, chart.columns[1].values = values[:, 0].copy(), values[:, 1].copy()
    if b.i32(f"the end of chart {number}") != 0:
        raise _format(f"chart {number} is not closed by 0")
    return chart


def _old_spectrum_chart(b: _Bytes, file_type: int, number: int, extra) -> Chart | None:
    if b.at_end():
        return _compact_end(number)
    where = f"the header of chart {number}"
    chart = Chart(number, file_type, fsym=extra["fsym"], delt=extra["delt"])
    chart.samples_stated = b.i32(where)
    chart.frequency_step, chart.tstart, chart.stop_frequency = b.f64(where), b.f64(where), b.f64(where)
    minimum, maximum = b.f64(where), b.f64(where)
    if b.i32(where) != 0:
        raise _format("Wrong Spectrum Termination")
    if chart.samples_stated < 0:
        raise _format(f"{chart.samples_stated} rows in {where}")
    _made_columns(chart, 1, minimum, maximum)
    chart.columns[0].values = _float_block(b, chart.samples_stated, f"the rows of chart {number}")
    if b.i32(f"the end of chart {number}") != 0:
        raise _format(f"chart {number} is not closed by 0")
    return chart


def _old_signal_chart(b: _Bytes, file_type: int, number: int, extra) -> Chart | None:
    if number > 0:  # a signal file holds one chart
        return None
    if b.at_end():
        return _compact_end(number)
    where = "the signal header"
    chart = Chart(number, file_type)
    stored = b.i32(where)
    chart.samples_stated, chart.samples_per_bit = b.i32(where), b.i32(where)
    minimum, maximum = b.f64(where), b.f64(where)
    chart.delt, chart.tstart, chart.fsym = b.f64(where), b.f64(where), b.f64(where)
    if b.i32(where) != 0:
        raise _format("Wrong Signal Termination")
    columns = {ELECTRICAL_SIGNAL: 1, OPTICAL_SIGNAL_1: 2, OPTICAL_SIGNAL_2: 4}.get(file_type, stored)
    if chart.samples_stated < 0 or columns < 1 or columns > _MAX_COLUMNS:
        raise _format(f"{chart.samples_stated} samples of {columns} columns in {where}")
    _made_columns(chart, columns, minimum, maximum)
    if chart.samples_stated > 0:
        count = chart.samples_stated
    else:  # the count not stated: whole rows to the end of the file
        count, cut = divmod(b.left(), 8 * columns)
        if cut:
            raise _truncated("the samples")
    values = _float_block(b, count * columns, "the samples").reshape(-1, columns)
    for k, column in enumerate(chart.columns):
        column.values = values[:, k].copy()
    return chart


# ---- Text forms ----

class _Lines:
    def __init__(self, data: bytes, separator: str):
        pieces = data.split(b"\n")
        self.cut = pieces[-1] != b""  # a last line without its line feed
        self.lines = [_line_text(p) for p in pieces[:-1]]
        self.at = 0
        self.separator = separator

    def next(self, where: str) -> str | None:
        """The next line that is not blank; None at a clean end of the file."""
        while self.at < len(self.lines):
            line = self.lines[self.at]
            self.at += 1
            if line.strip(" \t"):
                return line
        if self.cut:
            raise _truncated(where)
        return None

    def hold(self) -> None:
        self.at -= 1

    def split(self, line: str) -> tuple[str, str]:
        s = line.lstrip(" \t")
        key, found, value = s.partition(self.separator)
        return key.rstrip(" \t"), value if found else ""


def _line_text(raw: bytes) -> str:
    if raw.endswith(b"\r"):
        raw = raw[:-1]
    return raw.split(b"\0", 1)[0].decode("utf-8", errors="replace")


_TEXT_MAGIC = {"NodrixExpXY": XY, "QuarvinXY": CONTAINER, "NodrixExpSpr": SPECTRUM_TEXT,
               "NodrixEltSgn": ELECTRICAL_SIGNAL, "NodrixOptSgn": OPTICAL_SIGNAL_1, "NodrixLogSgn": SYMBOL_SIGNAL}
_INT_KEYS = {"SamplesNum", "SamplesPerBit", "Polarization", "NBitsPerSymbol", "ChartType", "GraphStyle",
             "ColumnNum", "Type", "StartingScale"}
_TEXT_KEYS = {"Title", "LabelX", "MeasureX", "LabelY", "MeasureY", "Label", "Measure"}
# Lines of a chart header by type, and the keywords that must all be there.
_HEADER_KEYS = {
    ELECTRICAL_SIGNAL: (6, ("SamplesNum", "Delt", "Fsym", "SamplesPerBit", "Minimum", "Maximum")),
    OPTICAL_SIGNAL_1: (7, ("SamplesNum", "Minimum", "Maximum", "Tstart", "Delt", "Fsym", "Polarization")),
    SPECTRUM: (8, ("SamplesNum", "Fsym", "Minimum", "Maximum", "Delt", "FrequencyStep", "StartFrequency",
                   "StopFrequency")),
    SYMBOL_SIGNAL: (5, ("SamplesNum", "NBitsPerSymbol", "Minimum", "Maximum", "Delt")),
    "xy4": (7, ("ChartType", "GraphStyle", "SamplesNum", "ColumnNum", "Title", "LabelY", "MeasureY")),
    "xy3": (8, ("SamplesNum", "Minimum", "Maximum", "Title", "LabelX", "MeasureX", "LabelY", "MeasureY")),
}
_HEADER_KEYS[OPTICAL_SIGNAL_2] = _HEADER_KEYS[OPTICAL_SIGNAL_1]
_HEADER_KEYS[SPECTRUM_TEXT] = _HEADER_KEYS[SPECTRUM]


def _keyword_lines(lines: _Lines, count: int, wanted: tuple, alias_samples: bool, where: str,
                   points: bool = False) -> dict:
    """Reads `count` keyword lines; the wanted keywords in any order, any other
    keyword uses up its line."""
    values = {}
    for _ in range(count):
        line = lines.next(where)
        if line is None:
            raise _truncated(where)
        key, value = lines.split(line)
        if alias_samples and key == "SampleNum":
            key = "SamplesNum"
        if key not in wanted:
            continue
        if key in _TEXT_KEYS:
            values[key] = value[:_TEXT_SIZE]
            continue
        number = _parse_int(value) if key in _INT_KEYS else _parse_double(value)
        if number is None:
            raise _format(f"the value of {key} is not a number in {where}")
        values[key] = number
        if points and key in ("Minimum", "Maximum"):
            values[key + "_int"] = _parse_int(value)
    missing = [k for k in wanted if k not in values]
    if missing:
        raise _Damage("truncated", f"One/some parameter not found for header ({', '.join(missing)} missing in {where})")
    return values


def _text_magic(lines: _Lines) -> tuple[int, int]:
    bad = _format("Cannot read Header section: not a chart file of a known form")
    try:
        line = lines.next("the header")
    except _Damage:
        raise bad from None
    key, value = lines.split(line) if line is not None else ("", "")
    file_type = _TEXT_MAGIC.get(key, 0)
    version = (_parse_int(value) or 0) if file_type else 0
    if file_type in (SPECTRUM_TEXT, XY):
        try:
            line = lines.next("the header")
        except _Damage:
            raise bad from None
        key, value = lines.split(line) if line is not None else ("", "")
        stated = _parse_int(value) if key == "Type" else None
        if stated is None:
            raise bad
        if file_type == SPECTRUM_TEXT:
            file_type = stated
    if file_type == 0:
        raise bad
    return file_type, version


def _read_text(path: str, data: bytes) -> ChartFile:
    lines = _Lines(data, separator_for(path))
    file_type, version = _text_magic(lines)
    result = ChartFile(path, False, version, file_type, (file_type, 5, 16, 1, 7))
    while True:
        chart = _text_chart(lines, result, len(result.charts))
        if chart is None:
            return result
        result.charts.append(chart)


def _text_chart(lines: _Lines, file: ChartFile, number: int) -> Chart | None:
    where = f"the header of chart {number}"
    if lines.next(where) is None:
        return None
    lines.hold()
    file_type = file.charts[-1].file_type if file.charts else file.file_type
    if not 1 <= file_type <= 8:
        raise _format("Bad file type")
    chart = Chart(number, file_type)
    if file_type == CONTAINER:
        raise _format("Unable to read column header for this ascii file type")
    new_xy = file_type == XY and file.version > 3
    key = ("xy4" if new_xy else "xy3") if file_type == XY else file_type
    count, wanted = _HEADER_KEYS[key]
    v = _keyword_lines(lines, count, wanted, file_type in SIGNAL_TYPES, where)
    if file_type in (OPTICAL_SIGNAL_1, OPTICAL_SIGNAL_2):
        if v["Polarization"] not in (1, 2):
            raise _format(f"Polarization {v['Polarization']} in {where}")
        chart.file_type = OPTICAL_SIGNAL_1 if v["Polarization"] == 1 else OPTICAL_SIGNAL_2
    columns = {ELECTRICAL_SIGNAL: 1, OPTICAL_SIGNAL_1: 2, OPTICAL_SIGNAL_2: 4, SPECTRUM: 1, SPECTRUM_TEXT: 1,
               SYMBOL_SIGNAL: v.get("NBitsPerSymbol", 0), XY: v.get("ColumnNum", 2) if new_xy else 2}[chart.file_type]
    chart.samples_stated = v.get("SamplesNum", 0)
    if chart.samples_stated < 0 or columns < 0 or columns > _MAX_COLUMNS:
        raise _format(f"{chart.samples_stated} rows of {columns} columns in {where}")
    chart.chart_type, chart.graph_style = v.get("ChartType", 0), v.get("GraphStyle", 0)
    chart.title, chart.label_y, chart.unit_y = v.get("Title", ""), v.get("LabelY", ""), v.get("MeasureY", "")
    chart.fsym, chart.delt, chart.samples_per_bit = v.get("Fsym", 0.0), v.get("Delt", 0.0), v.get("SamplesPerBit", 0)
    chart.tstart = v.get("StartFrequency", 0.0) if chart.is_spectrum else v.get("Tstart", 0.0)
    chart.stop_frequency, chart.frequency_step = v.get("StopFrequency", 0.0), v.get("FrequencyStep", 0.0)
    if new_xy:
        for k in range(columns):
            chart.columns.append(_text_column(lines, number, k))
    else:
        labels = ((v.get("LabelX", ""), v.get("MeasureX", "")), (chart.label_y, chart.unit_y)) if key == "xy3" else ()
        _made_columns(chart, columns, v.get("Minimum", 0.0), v.get("Maximum", 0.0),
                      integer=file_type == SYMBOL_SIGNAL, labels=labels)
    _text_rows(lines, chart)
    return chart


def _text_column(lines: _Lines, number: int, k: int) -> Column:
    where = f"column {k} of chart {number}"
    line = lines.next(where)
    if line is None:
        raise _truncated(where)
    if lines.split(line)[0] != "ColumnBegin":
        raise _format(f"no ColumnBegin where {where} should begin")
    wanted = ("Type", "Minimum", "Maximum", "StartingScale", "Ordering", "Label", "Measure")
    v = _keyword_lines(lines, 7, wanted, False, where, points=True)
    line = lines.next(where)
    if line is None:
        raise _truncated(where)
    if lines.split(line)[0] != "ColumnEnd":
        raise _format(f"no ColumnEnd after {where}")
    kind = v["Type"]
    if kind not in (DOUBLE, INT):
        raise _format(f"Bad column type {kind}")
    if kind == INT:
        if v["Minimum_int"] is None or v["Maximum_int"] is None:
            raise _format(f"the extremes of {where} are not whole numbers")
        minimum, maximum = v["Minimum_int"], v["Maximum_int"]
    else:
        minimum, maximum = v["Minimum"], v["Maximum"]
    return Column(k, v["Label"], v["Measure"], kind == INT, minimum, maximum, v["StartingScale"], v["Ordering"])


_ROW_START = re.compile(r"[ \t]*(?:[0-9+\-.]|nan|inf)", re.IGNORECASE)


def _text_rows(lines: _Lines, chart: Chart) -> None:
    where = f"the rows of chart {chart.number}"
    known = chart.samples_stated > 0
    columns = chart.columns
    rows = []
    while columns and (not known or len(rows) < chart.samples_stated):
        line = lines.next(where)
        if line is None:
            if known:
                raise _truncated(where)
            break
        if not known and not _ROW_START.match(line):
            lines.hold()
            break
        tokens = [t for t in line.split(lines.separator) if t]
        if len(tokens) != len(columns):
            raise _format(f"row {len(rows)} of chart {chart.number} holds {len(tokens)} values for "
                          f"{len(columns)} columns")
        row = []
        for token, column in zip(tokens, columns):
            value = _parse_int(token) if column.integer else _parse_double(token)
            if value is None:
                raise _format(f"\"{token}\" in row {len(rows)} of chart {chart.number} is not a number")
            row.append(value)
        rows.append(row)
    for k, column in enumerate(columns):
        column.values = np.array([r[k] for r in rows], dtype=np.int32 if column.integer else np.float64)


# ---- Reading a file ----

def read_chart(path) -> ChartFile:
    """Reads every chart of a chart file, in any form of the family.

    Raises ChartFileError naming the file and what is wrong with it."""
    path = os.fspath(path)
    try:
        info = os.stat(path)
    except FileNotFoundError:
        raise ChartFileError(path, "no such file", "missing") from None
    except OSError as e:
        raise ChartFileError(path, f"cannot be read: {e.strerror}", "missing") from None
    if stat.S_ISDIR(info.st_mode):
        raise ChartFileError(path, "is a directory, not a chart file", "missing")
    if not stat.S_ISREG(info.st_mode):
        raise ChartFileError(path, "is not a regular file, not a chart file", "missing")
    try:
        with open(path, "rb") as f:
            data = f.read()
    except OSError as e:
        raise ChartFileError(path, f"cannot be read: {e.strerror}", "missing") from None
    try:
        return _read_binary(path, data) if is_binary_path(path) else _read_text(path, data)
    except _Damage as d:
        raise ChartFileError(path, d.what, d.damage) from None
