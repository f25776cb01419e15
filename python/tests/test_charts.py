"""Chart files: every form the C++ writers make reads as nodrix-chart csv
shows it, and damage is reported where the chart tool reports it."""

import io
import subprocess
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path

import numpy as np
import pandas as pd
import pytest

import nodrix
from conftest import REPOSITORY, chart_tool

FORMS = ["xy.qxy", "xy.csv", "xy.TXT", "electrical.ssv", "optical.prn", "optical2.dat", "spectrum.csv",
         "spectrum5.txt", "symbols.csv", "electrical.qxy"]


@pytest.fixture(scope="module")
def forms(tmp_path_factory):
    directory = tmp_path_factory.mktemp("forms")
    subprocess.run([str(nodrix.build_directory() / "tests/python/write_chart_forms"), str(directory)], check=True)
    return directory


def tool_table(path, chart):
    done = chart_tool("csv", path, "-c", chart)
    assert done.returncode == 0, done.stderr
    return pd.read_csv(io.StringIO(done.stdout), float_precision="round_trip", keep_default_na=False,
                       na_values=["nan"])


def assert_same_as_tool(path):
    file = nodrix.read_chart(path)
    assert len(file) > 0
    for k, chart in enumerate(file):
        ours, tool = chart.table(), tool_table(path, k)
        assert list(ours.columns) == list(tool.columns), (path, k)
        assert np.array_equal(ours.to_numpy(float), tool.to_numpy(float), equal_nan=True), (path, k)


@pytest.mark.parametrize("name", FORMS)
def test_chart_library_forms_read_as_the_chart_tool_shows_them(forms, name):
    assert_same_as_tool(forms / name)


@pytest.mark.parametrize("suffix", [".qxy", ".qsg", ".qsp"])
def test_a_runs_charts_read_as_the_chart_tool_shows_them(one_channel_run, suffix):
    names = [n for n in one_channel_run.files if n.endswith(suffix)]
    assert names
    for name in names:
        assert_same_as_tool(one_channel_run.path(name))


def test_the_data_model_of_a_version_3_chart(forms):
    first, second = nodrix.read_chart(forms / "xy.qxy")
    assert (first.title, first.chart_type, first.graph_style, first.samples_per_bit) == ('Q, "best" instant', 2, -1, 4)
    assert second.title == "t" * 127  # a text holds 127 characters
    column = first.columns[2]
    assert (column.integer, column.minimum, column.maximum, column.ordering) == (True, -7, 7, 1.0)
    assert column.values.dtype == np.int32 and list(column.values[:2]) == [0, 2147483646]


def outcome(path):
    """The charts read, or the damage: ours and the chart tool's."""
    try:
        ours = len(nodrix.read_chart(path))
    except nodrix.ChartFileError as error:
        assert str(error).startswith(f"{path}: ")
        ours = None
    tool = chart_tool("info", path)
    return ours, (int(tool.stdout.split("Charts: ")[1].split()[0]) if tool.returncode == 0 else None)


@pytest.mark.parametrize("name", ["electrical.qxy", "symbols.csv", "signal.qsg"])
def test_a_cut_file_fails_where_the_chart_tool_fails(forms, tmp_path, name):
    data = signal_bytes() if name == "signal.qsg" else (forms / name).read_bytes()
    cuts = []
    for n in range(len(data) + 1):
        cuts.append(tmp_path / f"{n}-{name}")
        cuts[-1].write_bytes(data[:n])
    with ThreadPoolExecutor(2) as pool:
        outcomes = list(pool.map(outcome, cuts))
    for cut, (ours, tool) in zip(cuts, outcomes):
        assert ours == tool, cut.name
    assert outcomes[-1] == (1, 1) and outcomes[0] == (None, None)


def v3_bytes(byte_order=1, column_type=3, title_length=2):
    b = b"NodrixXY 3\0" + bytes([byte_order]) + np.array([7, 5, 16, 1, 7, 0], "<i4").tobytes()
    b += b"\1" + np.array([0, -1, 1, 1, title_length], "<i4").tobytes() + b"Q\0" + b"\0\4"
    b += np.array([column_type], "<i4").tobytes() + np.array([1.5, 1.5], "<f8").tobytes()
    b += np.array([0], "<i4").tobytes() + np.zeros(1, "<f8").tobytes() + np.array([2], "<i4").tobytes() + b"x\0"
    return b + np.array([2], "<i4").tobytes() + b"s\0" + b"\0\5" + np.array([1.5], "<f8").tobytes() + b"\0"


def signal_bytes(end=0, file_type=1):
    header = np.array([file_type, 5, 16, 1, 7, 1, 2, 8], "<i4").tobytes()
    return (b"NodrixSgn  2\0" + header + np.array([-0.5, 0.5, 0.25, 10.0, 193.1], "<f8").tobytes()
            + np.array([end], "<i4").tobytes() + np.array([0.5, -0.5], "<f8").tobytes())


XY_TEXT = "NodrixExpXY, 4\nType, 7\nChartType,1\nGraphStyle,-1\nSamplesNum,1\nColumnNum,1\nTitle,T\nLabelY,Y\n" \
          "MeasureY,u\nColumnBegin\nType,3\nMinimum,0\nMaximum,1\nStartingScale,0\nOrdering,0\nLabel,x\nMeasure,s\n" \
          "ColumnEnd\n+1\n"
OPTICAL_TEXT = "NodrixOptSgn, 4\nSamplesNum,1\nMinimum,0\nMaximum,1\nTstart,0\nDelt,1\nFsym,1\nPolarization,{}\n1,2\n"


@pytest.mark.parametrize("name, content, damage, what", [
    ("magic.qxy", v3_bytes().replace(b"NodrixXY", b"NodrixXQ"), "format", "Cannot read Header section"),
    ("order.qxy", v3_bytes(byte_order=2), "format", "Byte Order invalid"),
    ("column.qxy", v3_bytes(column_type=4), "format", "Bad column type 4"),
    ("text.qxy", v3_bytes(title_length=2147483647), "format", "a text shorter than its stated length"),
    ("end.qsg", signal_bytes(end=9), "format", "Wrong Signal Termination"),
    ("type.qsg", signal_bytes(file_type=12), "format", "Bad file type 12"),
    ("key.csv", XY_TEXT.replace("LabelY,Y", "Comment,none"), "truncated", "One/some parameter not found for header"),
    ("type.csv", XY_TEXT.replace("Type,3", "Type,9"), "format", "Bad column type 9"),
    ("cut.csv", XY_TEXT[:-1], "truncated", "the file ends inside the rows of chart 0"),
    ("polarisation.csv", OPTICAL_TEXT.format(3), "format", "Polarization 3"),
    ("container.csv", "QuarvinXY, 1\nSamplesNum,1\n+1\n", "format",
     "Unable to read column header for this ascii file type"),
    ("notes.txt", "just some notes\n", "format", "Cannot read Header section"),
])
def test_damage_names_the_file_and_what_is_wrong(tmp_path, name, content, damage, what):
    path = tmp_path / name
    path.write_bytes(content.encode() if isinstance(content, str) else content)
    with pytest.raises(nodrix.ChartFileError) as caught:
        nodrix.read_chart(path)
    assert caught.value.damage == damage
    assert str(caught.value).startswith(f"{path}: ") and what in str(caught.value)
    assert chart_tool("info", path).returncode == 1


def test_what_is_no_chart_file_is_refused_by_name(tmp_path):
    (tmp_path / "d.qxy").mkdir()
    for path, what in [(tmp_path / "none.qxy", "no such file"), (tmp_path / "d.qxy", "is a directory"),
                       (Path("/dev/zero"), "is not a regular file")]:
        with pytest.raises(nodrix.ChartFileError, match=what):
            nodrix.read_chart(path)


def test_an_optical_text_signal_is_typed_by_its_polarisations(tmp_path):
    path = tmp_path / "o.csv"
    path.write_text(OPTICAL_TEXT.format(2).replace("1,2\n", "1,2,3,4\n"))
    chart = nodrix.read_chart(path)[0]
    assert [chart.column_title(k) for k in range(4)] == ["re x", "im x", "re y", "im y"]


SIGNAL_TEXT = "NodrixEltSgn, 3\nSampleNum,2\nDelt,0.5\nFsym,10\nSamplesPerBit,2\nMinimum,0\nMaximum,1\n+1\n-1\n"
SPECTRUM_TEXT = "NodrixExpSpr, 2\nType, 4\nSamplesNum,2\nFsym,1\nMinimum,0\nMaximum,1\nDelt,1\nFrequencyStep,0.5\n" \
                "StartFrequency,193\nStopFrequency,193.5\n1\n2\n"


@pytest.mark.parametrize("name, content", [
    ("crlf.csv", XY_TEXT.replace("\n", "\r\n")),                              # CR LF line ends
    ("blank.csv", XY_TEXT.replace("Type, 7\n", "Type, 7\n\n  \t\n")),        # blank lines carry nothing
    ("alias.csv", SIGNAL_TEXT),                                               # "SampleNum" in a signal file
    ("alias.txt", SPECTRUM_TEXT.replace("SamplesNum", "SampleNum")),          # ... but not in a spectrum
    ("order.csv", XY_TEXT.replace("ChartType,1\nGraphStyle,-1", "GraphStyle,-1\nChartType,1")),
    ("unknown.csv", XY_TEXT.replace("SamplesNum,1", "SamplesNum,0") + "+2\n" + XY_TEXT.split("Type, 7\n")[1]),
    ("extra.csv", XY_TEXT.replace("+1\n", "+1,2\n")),                         # a row of more values than columns
    ("spaced.prn", SIGNAL_TEXT.replace(",", " ").replace("+1\n", "  +1 \n")),
])
def test_the_text_forms_tolerate_what_the_chart_tool_tolerates(tmp_path, name, content):
    path = tmp_path / name
    path.write_text(content.replace(",", "\t") if name.endswith(".txt") else content)
    ours, tool = outcome(path)
    assert ours == tool and (tool is None) == name.startswith(("alias.txt", "extra"))
    if tool is not None:
        assert_same_as_tool(path)


def v3_chart(samples, rows, end=b"\0"):
    """A version 3 chart of one float column: `rows` rows, stating `samples`."""
    b = b"\1" + np.array([0, -1, samples, 1, 2], "<i4").tobytes() + b"Q\0\0\4" + np.array([3], "<i4").tobytes()
    b += np.array([0.0, 1.0], "<f8").tobytes() + np.array([0], "<i4").tobytes() + np.zeros(1, "<f8").tobytes()
    b += np.array([1], "<i4").tobytes() + b"\0" + np.array([1], "<i4").tobytes() + b"\0\0"
    return b + b"".join(b"\5" + np.array([r], "<f8").tobytes() for r in range(rows)) + end


@pytest.mark.parametrize("charts", [
    [(0, 3)],                  # the row count not stated: the rows run to the end mark
    [(5, 2), (2, 2)],          # fewer rows than stated, ended by the end mark, then a second chart
    [(2, 2), (0, 1)],
])
def test_version_3_rows_end_where_the_chart_tool_ends_them(tmp_path, charts):
    path = tmp_path / "rows.qxy"
    path.write_bytes(v3_bytes()[:36] + b"".join(v3_chart(s, r) for s, r in charts))
    file = nodrix.read_chart(path)
    assert [c.rows for c in file] == [r for _, r in charts]
    assert_same_as_tool(path)
