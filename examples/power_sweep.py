"""The small link's launch power swept with two noise seeds per power: the
eye's Q against the laser power, the mean with the spread over the seeds as
error bars, saved as power_sweep.png in the sweep's directory.

    /usr/bin/python3 examples/power_sweep.py [SWEEP_DIR]
"""

import sys
from pathlib import Path

import matplotlib.pyplot as plt

import nodrix
from nodrix.plots import plot_sweep

PROJECTS = Path(__file__).resolve().parents[1] / "projects"

out = Path(sys.argv[1] if len(sys.argv) > 1 else "power-sweep")
link = nodrix.Link.load(PROJECTS / "one_channel.toml")
sweep = nodrix.sweep(link, vary={"3.power_mw": "0.5:8:x4"}, seeds=2, jobs=2, out=out)

print(sweep.means[["3.power_mw", "ch1_power_dbm", "ch1_q_eye_db"]].to_string(index=False))
plot_sweep(sweep, y="ch1_q_eye_db")
plt.savefig(out / "power_sweep.png", dpi=120)
print(f"Figure in {out / 'power_sweep.png'}")
