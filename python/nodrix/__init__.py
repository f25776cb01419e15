"""Nodrix from Python: links built, run and swept, every result as NumPy
arrays and pandas frames.

    import nodrix
    link = nodrix.Link.load("projects/one_channel.toml")
    run = nodrix.run(link, out="results")
    eye = run.eyes[12]                       # a Chart: eye.values, eye.axis
    sweep = nodrix.sweep(link, vary={"3.power_mw": "0.5:4:x2"}, seeds=2)
    sweep.table                              # sweep.csv as a DataFrame

The simulations are the nodrix program's (see docs/python.md for where the
package finds it); the package reads what it leaves.
"""

from .charts import Chart, ChartFile, Column, read_chart
from .errors import ChartFileError, Message, NodrixError, ProgramError, ReportFileError, ResultFileError
from .link import Block, Kind, Link, Parameter, PlanChannel, SweepError, kind, kinds, run, sweep
from .program import build_directory, call, find_program
from .reports import (EstimatorReport, MultilevelEye, MultilevelReport, OsnrChannel, OsnrReport, PowerMeterReport,
                      ThresholdResult, read_estimator_report, read_multilevel_report, read_osnr_report,
                      read_power_meter_report, read_report)
from .results import Run, Summary, Sweep, open_run, open_sweep

__all__ = [
    "Block", "Chart", "ChartFile", "ChartFileError", "Column", "EstimatorReport", "Kind", "Link", "Message",
    "MultilevelEye", "MultilevelReport", "NodrixError", "OsnrChannel", "OsnrReport", "Parameter", "PlanChannel", "PowerMeterReport",
    "ProgramError", "ReportFileError", "ResultFileError", "Run",
    "Summary", "Sweep", "SweepError", "ThresholdResult", "build_directory", "call", "find_program", "kind", "kinds",
    "open_run", "open_sweep", "read_chart", "read_estimator_report", "read_multilevel_report", "read_osnr_report",
    "read_power_meter_report", "read_report",
    "run", "sweep",
]
