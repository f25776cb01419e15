"""The small link simulated from Python: its summary, its eye and its
spectrum, saved as first_link_eye.png and first_link_spectrum.png.

    /usr/bin/python3 examples/first_link.py [RESULTS_DIR]

The results go into RESULTS_DIR (default: first_link-results in the current
directory)."""

import sys
from pathlib import Path

import matplotlib.pyplot as plt

import nodrix
from nodrix.plots import plot_eye, plot_spectrum

PROJECTS = Path(__file__).resolve().parents[1] / "projects"

out = Path(sys.argv[1] if len(sys.argv) > 1 else "first_link-results")
link = nodrix.Link.load(PROJECTS / "one_channel.toml")
# A spectrum analyser at the receiver, behind the amplifier (block 7).
link.add("spectrum_analyser", 13, input=7, fft_length=1024)
run = nodrix.run(link, out=out)

print(run.summary.channels.to_string(index=False))
print(run.summary.meters.to_string(index=False))
report = run.estimators[11]
print(f"BER {report.ber:.3e}, Q {report.optimal.q_db:.2f} dB at the optimal threshold")

plot_eye(run.eyes[12])
plt.savefig(out / "first_link_eye.png", dpi=120)
plt.figure()
plot_spectrum(run.spectra[13])
plt.savefig(out / "first_link_spectrum.png", dpi=120)
print(f"Figures in {out}")
