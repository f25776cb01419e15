"""Links built in Python and run by the program: the same results as the
link written by hand, the program's messages as exceptions, its registry."""

import io
import re
import subprocess

import numpy as np
import pytest

import nodrix
from conftest import ONE_CHANNEL


def one_channel_in_code() -> nodrix.Link:
    """projects/one_channel.toml, written in Python."""
    link = nodrix.Link("one_channel", time_step_ps=1.5625, end_time_ps=32000.0, emission_window_ps=25600.0,
                       centre_frequency_thz=193.1, grid_reference_thz=193.1, grid_low_thz=192.78,
                       grid_high_thz=193.42, band_low_thz=192.844, band_high_thz=193.356, monitor_offset_ps=1280.0)
    link.add("prbs_source", 1, degree=7, samples_per_bit=64)
    link.add("nrz_driver", 2, input=1, samples_per_bit=64, low_level_v=-2.5, high_level_v=2.5, rise_time_bits=0.25)
    link.add("laser", 3, frequency_thz=193.1, power_mw=2.0, linewidth_mhz=10.0)
    link.add("modulator", 4, input=3, drive=2, insertion_loss_db=3.0, bias_voltage_v=2.5, switching_voltage_v=5.0,
             symmetry=0.999, spectral_field_factor=0.7079457)
    link.add("power_meter", 5, input=4, label="launched into the span")
    link.add("fibre", 6, input=4, length_km=40.0, attenuation_db_per_km=0.2, beta2_ps2_per_km=-20.2205,
             beta3_ps3_per_km=0.147459, section_length_km=20.0, gamma_per_w_per_km=1.26809)
    link.add("amplifier_fixed_gain", 7, input=6, gain_db=8.0, noise_figure_linear=2.81838)
    link.add("power_meter", 8, input=7, label="at the receiver")
    link.add("photodiode", 9, input=7, responsivity_a_per_w=1.0)
    link.add("bessel_filter", 10, input=9, type="low_pass", order=5, bandwidth_thz=0.008)
    link.add("ber_estimator", 11, input=10, window_ps=12800.0, samples_per_bit=64, fixed_threshold_a=0.0005)
    link.add("eye_scope", 12, input=10, window_ps=12800.0, samples_per_bit=64, recorded_samples_per_bit=32)
    return link


def test_a_link_built_in_python_runs_to_the_bytes_of_the_hand_written_one(tmp_path, one_channel_run):
    saved = one_channel_in_code().save(tmp_path / "built.toml")
    by_hand = nodrix.run(ONE_CHANNEL, out=tmp_path / "by_hand", progress=False)
    built = nodrix.run(saved, out=tmp_path / "built", progress=False)
    assert built.files == by_hand.files and len(built.files) == 7
    for name in built.files:
        assert built.path(name).read_bytes() == by_hand.path(name).read_bytes(), name
    assert nodrix.Link.load(saved).to_toml() == one_channel_in_code().to_toml()


def test_a_link_runs_from_its_own_file_until_it_is_changed(tmp_path):
    link = nodrix.Link.load(ONE_CHANNEL)
    nodrix.run(link, out=tmp_path / "same", simulate=False, progress=False)
    assert not (tmp_path / "same.link.toml").exists()
    link.block(3)["power_mw"] = 4.0
    nodrix.run(link, out=tmp_path / "changed", simulate=False, progress=False)
    assert nodrix.Link.load(tmp_path / "changed.link.toml").block(3)["power_mw"] == 4.0


def test_the_programs_messages_become_the_exception(tmp_path):
    link = nodrix.Link.load(ONE_CHANNEL)
    link.block(3)["power_mww"] = link.block(3).values.pop("power_mw")
    link.block(6)["length_km"] = -4
    with pytest.raises(nodrix.ProgramError) as caught:
        nodrix.run(link, out=tmp_path / "bad", progress=False)
    error = caught.value
    assert error.status == 1
    assert [(m.block, m.kind, m.text) for m in error.errors] == [
        (3, "laser", 'unknown parameter or connection "power_mww"; did you mean "power_mw"?'),
        (6, "fibre", "length_km = -4 is out of range; allowed: > 0")]
    saved = tmp_path / "bad.link.toml"
    lines = saved.read_text().splitlines()
    for m in error.errors:
        assert m.file == str(saved) and lines[m.line - 1].split(" =")[0] in m.text
    assert str(error).endswith(f"{saved}: 2 errors; nothing was run")
    assert not (tmp_path / "bad").exists()


def test_check_returns_the_schedule_and_set_changes_reach_the_run(tmp_path):
    schedule = nodrix.Link.load(ONE_CHANNEL).check(set={"6.length_km": 20})
    assert re.search(r"6\s+fibre\s+4\s+6", schedule.stdout)
    run = nodrix.run(ONE_CHANNEL, out=tmp_path / "r", set={"3.power_mw": 4.0, "link.name": "strong"},
                     progress=False)
    assert run.meters[5].power_dbm == pytest.approx(0.045, abs=0.01)  # 4 mW less the modulator's 3 dB and more
    assert all(name.startswith(("strong_", "x1_strong")) for name in run.files)


def test_the_progress_line_is_relayed_and_kept_out_of_the_messages(tmp_path):
    shown = io.StringIO()
    done = nodrix.call(["run", ONE_CHANNEL, "-simulate", "-o", tmp_path / "p"], progress=True, stream=shown)
    assert "\rSimulating: " in shown.getvalue()
    assert "Simulating" not in done.stderr and done.stdout.startswith("Simulation of one_channel")


def test_the_registry_as_data_agrees_with_its_text(tmp_path):
    kinds = nodrix.kinds()
    program = nodrix.find_program()
    for name, kind in kinds.items():
        text = subprocess.run([program, "blocks", name], capture_output=True, text=True, check=True).stdout
        rows = re.findall(r"^  (\S+)\s+(\S+)(?: \[([^\]]*)\])?\s+(.+?)\s{2,}", text, re.M)
        rows = [r for r in rows if r[0] in kind.parameters]
        assert [r[0] for r in rows] == list(kind.parameters), name
        for parameter_name, type_name, unit, default in rows:
            p = kind.parameters[parameter_name]
            assert (p.type, p.unit) == (type_name, unit), (name, parameter_name)
            assert p.required == (default == "(required)")
            if not p.required and p.type in ("real", "integer"):
                assert p.default == float(default), (name, parameter_name)
            if not p.required and p.type == "text":  # a title's: kind and instance in both
                assert default == f'"{p.default}"', (name, parameter_name)
    with pytest.raises(nodrix.ProgramError, match='unknown kind "lazer"; did you mean "laser"'):
        nodrix.kind("lazer")


def test_data_files_stay_the_same_files_where_a_link_is_saved(tmp_path):
    (tmp_path / "project").mkdir()
    (tmp_path / "project" / "link.toml").write_text(
        '[link]\nname = "f"\nend_time_ps = 1.0\n[[block]]\nid = 1\nkind = "user_filter"\nfile = "shape.dat"\n')
    link = nodrix.Link.load(tmp_path / "project" / "link.toml")
    file_parameter = next(p.name for p in nodrix.kind("user_filter").parameters.values() if p.type == "file")
    link.block(1)[file_parameter] = "shape.dat"
    nearby = nodrix.Link.load(link.save(tmp_path / "project" / "same.toml"))
    elsewhere = nodrix.Link.load(link.save(tmp_path / "elsewhere.toml"))
    assert nearby.block(1)[file_parameter] == "shape.dat"
    assert elsewhere.block(1)[file_parameter] == str(tmp_path / "project" / "shape.dat")


@pytest.mark.parametrize("value, written", [(2.0, "2.0"), (7, "7"), (True, "true"), ("low pass", '"low pass"'),
                                            ([1, 2], "[1, 2]"), ('say "hi"', '"say \\"hi\\""'),
                                            (np.int64(7), "7"), ([np.float32(0.5)], "[0.5]")])
def test_values_are_written_as_a_link_file_writes_them(value, written):
    assert nodrix.link.toml_value(value) == written


@pytest.mark.parametrize("written, relayed, messages", [
    ("\rSimulating:  50 % \r" + " " * 60 + "\rNodrix-W-late\n", "\rSimulating:  50 % \r" + " " * 60 + "\r",
     "Nodrix-W-late\n"),
    ("Nodrix-E-first\n\rSweep: 1 of 2 Nodrix-W-mid-line\n", "\rSweep: 1 of 2 ", "Nodrix-E-first\nNodrix-W-mid-line\n"),
    ("\rSimulating:   9 %\n", "\rSimulating:   9 %\n", ""),   # a line the interruption's message ends
])
def test_the_progress_line_is_told_from_the_messages(written, relayed, messages):
    shown = io.StringIO()
    splitter = nodrix.program._ProgressSplitter(shown.write)
    for k in range(0, len(written), 7):  # as the pseudo-terminal hands it over, in pieces
        splitter.feed(written[k:k + 7])
    assert (shown.getvalue(), splitter.close()) == (relayed, messages)


def test_a_sweep_that_cannot_start_raises_with_the_programs_reason(tmp_path):
    with pytest.raises(nodrix.SweepError) as caught:
        nodrix.sweep(ONE_CHANNEL, vary={"3.power_mw": [1, -1]}, out=tmp_path / "s", progress=False)
    assert caught.value.status == 1 and caught.value.sweep is None
    assert any("-1" in m.text and "power_mw" in m.text for m in caught.value.errors), caught.value.stderr
