"""Run and sweep directories, reports and plots."""

import matplotlib.pyplot as plt
import numpy as np
import pytest

import nodrix
from conftest import ONE_CHANNEL
from nodrix.plots import fold_eye, plot_eye, plot_spectrum, plot_sweep


def test_a_run_by_block(one_channel_run):
    run = one_channel_run
    assert sorted(run.estimators) == [11] and sorted(run.meters) == [5, 8]
    assert sorted(run.eyes) == [12] and sorted(run.spectra) == [13, 14] and sorted(run.ber_charts) == [11]
    assert set(run.block(11)) == {"one_channel_PST0011.DAT", "one_channel_BER0011.qxy"}
    eye = run.eyes[12]
    assert eye.bit_period_ps == pytest.approx(100.0) and eye.samples_per_bit == 32
    spectrum = run.spectra[14]
    assert spectrum.axis[1][0] == spectrum.tstart and spectrum.axis[1][-1] == pytest.approx(spectrum.stop_frequency)
    calibrated = run.spectra[13]  # dBm in 0.1 nm against frequency, on the same bins
    assert [(c.label, c.unit) for c in calibrated.columns] == [("frequency", "THz"), ("power", "dBm/0.1 nm")]
    assert np.allclose(calibrated.columns[0].values, spectrum.axis[1])
    ax = plot_spectrum(calibrated)
    assert (ax.get_xlabel(), ax.get_ylabel()) == ("frequency [THz]", "power [dBm/0.1 nm]")
    plt.close(ax.figure)


def test_an_osnr_meters_report_and_summary(one_channel_run):
    (report,) = one_channel_run.osnr.values()
    assert report.reference_nm == 0.1 and len(report.channels) == 1
    channel = report.channels[0]
    assert channel.frequency_thz == pytest.approx(193.1, abs=0.001)
    assert channel.osnr_db == pytest.approx(channel.signal_dbm - channel.noise_dbm, abs=0.002)
    row = one_channel_run.summary.osnr.iloc[0]
    assert (row["meter"], row["osnr_db"]) == (15, channel.osnr_db)


def test_the_summary_agrees_with_the_reports(one_channel_run):
    channel = one_channel_run.summary.channels.iloc[0]
    report = one_channel_run.estimators[11]
    assert channel["ber_optimal"] == pytest.approx(report.optimal.ber, rel=1e-3)
    assert channel["q_optimal_db"] == pytest.approx(report.optimal.q_db, abs=0.005)
    assert channel["truncated"] == report.truncated
    meters = one_channel_run.summary.meters.set_index("id")["power_dbm"]
    assert meters[8] == one_channel_run.meters[8].power_dbm


def test_a_sweep_points_record_the_values_of_its_table(power_sweep):
    points, means, spreads = power_sweep.points, power_sweep.means, power_sweep.spreads
    assert list(points["point"]) == ["0001", "0002", "0003", "0004"] and list(points["seed"]) == [0, 1, 0, 1]
    assert list(means["3.power_mw"]) == [1, 4] and len(spreads) == 2
    for point in power_sweep.runs():
        row = points[points["point"] == point.directory.name].iloc[0]
        record = point.summary.channels.iloc[0]
        assert row["ch1_q_eye"] == pytest.approx(record["q_eye"], rel=1e-8)
        assert row["ch1_ber_fixed"] == point.estimators[11].fixed.ber
        check = point.record["convergence"]
        assert row["q_eye_change_db"] == pytest.approx(check["q_eye_change_db"], rel=1e-8)
        assert row["convergence"] == check["verdict"] == ("converged" if check["q_eye_change_db"] <= 0.05 and
                                                          check["power_change_db"] <= 0.05 else "not converged")
    # The mean row's verdict is converged only when every seed's is.
    for value, mean in zip(means["3.power_mw"], means["convergence"]):
        verdicts = set(points[points["3.power_mw"] == value]["convergence"])
        assert mean == ("converged" if verdicts == {"converged"} else "not converged")
    first = points[points["3.power_mw"] == 1]["ch1_q_eye_db"]
    assert means["ch1_q_eye_db"].iloc[0] == pytest.approx(first.mean())
    # The table's values have 9 digits (1e-7 dB at 20 dB), the sweep's spread is of the full ones.
    assert spreads["ch1_q_eye_db"].iloc[0] == pytest.approx(first.std(ddof=1), rel=1e-4, abs=1e-6)


def test_a_sweep_table_is_read_by_its_header(power_sweep, tmp_path):
    table = (power_sweep.directory / "sweep.csv").read_text().splitlines()
    grown = [line + (",bits_observed" if k == 0 else ",128") for k, line in enumerate(table)]
    (tmp_path / "sweep.toml").write_bytes((power_sweep.directory / "sweep.toml").read_bytes())
    (tmp_path / "sweep.csv").write_text("\n".join(grown) + "\n")
    assert list(nodrix.open_sweep(tmp_path).table["bits_observed"]) == [128] * len(table[1:])
    with pytest.raises(nodrix.ResultFileError, match="not a sweep directory"):
        nodrix.open_sweep(tmp_path / "none")


def test_a_sweep_curve_shows_the_means_with_the_spread(power_sweep):
    ax = plot_sweep(power_sweep)
    (bars,) = ax.containers
    x, y = bars.lines[0].get_data()
    assert list(x) == [1, 4] and list(y) == list(power_sweep.means["ch1_q_eye_db"])
    assert ax.get_legend_handles_labels()[1] == ["channel 1 (193.10 THz)"]
    plt.close("all")


def test_the_eye_folds_into_two_bit_periods_sharing_their_ends(one_channel_run):
    traces = fold_eye(np.arange(10.0), 2, 0.5)
    assert [list(y) for _, y in traces] == [[0, 1, 2, 3, 4], [4, 5, 6, 7, 8], [8, 9]]
    assert list(traces[0][0]) == [0, 0.5, 1, 1.5, 2]
    eye = one_channel_run.eyes[12]
    assert len(plot_eye(eye).lines) == len(range(0, eye.rows - 1, 64))
    plt.close("all")


def report_file(tmp_path, text):
    path = tmp_path / "r.DAT"
    path.write_text(text)
    return path


def test_a_fixed_threshold_outside_the_eye_and_a_damaged_report(tmp_path):
    outside = ("BER Estimator at pestim1\nBER evaluation with pattern length   3\nOptimal Decision Threshold =  0.1E-03\n"
               " P BER at Optimal Decision Threshold                   = 0.12345E-11\n"
               " P Equivalent Q at Optimal Decision Threshold [dB]     =  16.95000\n"
               "Fixed Decision Threshold =  0.90000E-02\n P BER at Fixed Decision Threshold = -0.10000E+01\n"
               "ERROR !\n  The Fixed Decision Threshold is outside the eye\n  BER evaluation is impossible\n")
    report = nodrix.read_report(report_file(tmp_path, outside))
    assert (report.ber, report.optimal.q_db, report.fixed.outside_eye, report.fixed.q_db) == (1.2345e-12, 16.95, True,
                                                                                             None)
    assert report.warnings == ["ERROR ! The Fixed Decision Threshold is outside the eye BER evaluation is impossible"]
    for text in (outside.split(" P BER at Optimal")[0], "Optical power at opowme1\n P Power [dBm] =  -2.9\n"):
        with pytest.raises(nodrix.ReportFileError, match=str(tmp_path / "r.DAT")):
            nodrix.read_report(report_file(tmp_path, text))


def test_a_q_estimators_report(tmp_path):
    run = nodrix.run(ONE_CHANNEL, out=tmp_path / "q", set={"11.estimator": "q"}, progress=False)
    report = run.estimators[11]
    assert report.mode == "q" and report.q_db == pytest.approx(20 * np.log10(report.q_linear), abs=1e-3)
    assert report.eye_closure_db is not None and report.jitter_ps is not None


def test_the_printed_summary_reads_as_the_points_record(power_sweep):
    point = power_sweep.point(1)
    printed, _ = nodrix.results.parse_summary(point.console)
    record = point.summary.channels.iloc[0]
    assert printed[0]["q_eye"] == pytest.approx(record["q_eye"], abs=0.005)
    assert printed[0]["power_dbm"] == pytest.approx(record["power_dbm"], abs=0.005)
    assert printed[0]["ber_optimal"] == pytest.approx(record["ber_optimal"], rel=1e-3)


def test_the_estimators_charts_against_instant_and_threshold(one_channel_run):
    axes = nodrix.plots.plot_ber(one_channel_run.ber_charts[11])
    assert [ax.get_title() for ax in axes] == ["BER vs. Sampling Instant", "BER vs. Decision Threshold"]
    assert [ax.get_yscale() for ax in axes] == ["log", "log"]
    plt.close("all")


def test_a_pam4_run_reads_its_eyes(tmp_path):
    link = nodrix.Link.load(ONE_CHANNEL.parent / "pam4_53g.toml")
    link.block(7)["loss_db"] = 12.0  # about -15.5 dBm: the receiver's thermal noise leaves BER near 3e-5
    run = nodrix.run(link, out=tmp_path / "pam4", progress=False)
    report = run.multilevel_estimators[12]
    assert report.levels == 4 and list(report.eyes) == ["upper", "middle", "lower"]
    for eye in report.eyes.values():
        assert eye.q_db == pytest.approx(20 * np.log10(eye.q_linear), abs=1e-4)
    # Gray PAM4 errs mostly between neighbours: one bit of two per symbol error.
    assert 1e-7 < report.ser < 1e-2 and report.ber == pytest.approx(report.ser / 2, rel=0.01)
    channel = run.summary.channels.iloc[0]
    assert channel["ber_optimal"] == pytest.approx(report.ber, rel=1e-3)
    assert channel["q_optimal_db"] == pytest.approx(min(e.q_db for e in report.eyes.values()), abs=0.005)
    assert channel["q_eye_db"] == pytest.approx(channel["q_optimal_db"], abs=0.005)
    assert channel["power_dbm"] == pytest.approx(run.meters[8].power_dbm, abs=0.1)


def test_a_planned_channels_files_are_found_by_the_blocks_the_program_expands(tmp_path):
    assert nodrix.Link.load(ONE_CHANNEL).channels() == []  # no plan
    link = nodrix.Link.load(ONE_CHANNEL.parent / "wdm8.toml")
    channels = link.channels()
    assert [c.channel for c in channels] == list(range(1, 9))
    assert [c.frequency_thz for c in channels] == pytest.approx([192.75 + 0.1 * k for k in range(8)])
    third = channels[2]
    assert third.blocks == (301, 302, 303, 304, 311, 312, 313, 314)
    run = nodrix.run(link, out=tmp_path / "wdm8", progress=False)
    assert set(run.channel(third)) == {"wdm8_PST0314.DAT", "wdm8_BER0314.qxy"}
    row = run.summary.channels.set_index("channel").loc[3]
    assert row["frequency_thz"] == pytest.approx(third.frequency_thz, abs=0.005)
    assert row["q_optimal_db"] == pytest.approx(run.channel(third)["wdm8_PST0314.DAT"].optimal.q_db, abs=0.005)
