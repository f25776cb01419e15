"""Shared fixtures: the programs of the build tree, one simulated run of the
small link (with a spectrum analyser added) and one small sweep, both with
FFTW's estimated plans so that every run gives the same bytes."""

import os
import subprocess
import sys
from pathlib import Path

import pytest

sys.path.insert(0, str(Path(__file__).resolve().parents[1]))
os.environ["NODRIX_FFT_PLANS"] = "estimate"

import nodrix  # noqa: E402

REPOSITORY = Path(__file__).resolve().parents[2]
ONE_CHANNEL = REPOSITORY / "projects" / "one_channel.toml"


def chart_tool(*words) -> subprocess.CompletedProcess:
    return subprocess.run([nodrix.find_program("nodrix-chart"), *map(str, words)], capture_output=True, text=True)


@pytest.fixture(scope="session")
def one_channel_run(tmp_path_factory):
    link = nodrix.Link.load(ONE_CHANNEL)
    link.add("spectrum_analyser", 13, input=7, fft_length=1024)
    link.add("spectrum_analyser", 14, input=7, fft_length=1024, scale="density_db")
    link.add("osnr_meter", 15, input=7)
    return nodrix.run(link, out=tmp_path_factory.mktemp("run") / "results", progress=False)


@pytest.fixture(scope="session")
def power_sweep(tmp_path_factory):
    out = tmp_path_factory.mktemp("sweep") / "power"
    return nodrix.sweep(ONE_CHANNEL, vary={"3.power_mw": [1, 4]}, seeds=2, jobs=2, out=out, converge=True,
                        converge_tolerance_db=0.05, progress=False)
