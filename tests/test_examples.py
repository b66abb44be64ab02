"""What a new user runs first: the parametric study of examples/, and the command line's sample models."""

import os
import subprocess
import sys
from pathlib import Path

import pytest

import veltrane_computer
import veltrane_sim

ROOT = Path(__file__).resolve().parents[1]
STUDY = ROOT / "examples" / "parametric_study.py"
SOURCE = os.fspath(Path(veltrane_computer.__file__).parents[1])


def run(place, *command):
    environment = dict(os.environ, PYTHONPATH=SOURCE, VELTRANE_STATE_DIR=os.fspath(place / "state"))
    return subprocess.run(command, cwd=place, capture_output=True, text=True, env=environment, timeout=120)


def tables(output):
    """The rows of each table the study printed, by variant: (factor, status, max displacement)."""
    found = []
    for line in output.splitlines():
        if line.startswith("variant"):
            found.append({})
        elif found and line.startswith("Line1-"):
            name, factor, *status, _seconds, displacement, _files = line.split()
            found[-1][name] = (factor, " ".join(status), displacement)
    return found


@pytest.mark.timeout(120)
def test_the_parametric_study_solves_only_the_variant_it_changed(tmp_path):
    # Run as a script (spawned workers import it again), twice in one work folder: four batches, about 3 s.
    first = run(tmp_path, sys.executable, os.fspath(STUDY), "--workdir", "study")
    assert first.returncode == 0, first.stderr
    before, after = tables(first.stdout)
    assert [status for _, status, _ in before.values()] == ["ok"] * 4
    displacements = [float(displacement) for _, _, displacement in before.values()]
    assert displacements == sorted(displacements) and len(set(displacements)) == 4  # heavier loads deflect more
    kept = "skipped, unchanged"
    assert {name: status for name, (_, status, _) in after.items()} == {
        "Line1-01": kept, "Line1-02": "ok", "Line1-03": kept, "Line1-04": kept}
    changed = [float(after[name][2]) for name in ("Line1-01", "Line1-02", "Line1-03")]
    assert after["Line1-02"][0] == "1.75" and changed[0] < changed[1] < changed[2] and changed[1] not in displacements
    assert "solved again: Line1-02; kept: Line1-01, Line1-03, Line1-04" in first.stdout
    again = run(tmp_path, sys.executable, os.fspath(STUDY), "--workdir", "study")
    assert again.returncode == 0, again.stderr
    assert [status for _, status, _ in tables(again.stdout)[0].values()] == [kept, "ok", kept, kept]


@pytest.mark.timeout(120)
def test_simulated_lays_out_sample_models_to_try_the_command_line(tmp_path):
    command = [sys.executable, "-m", "veltrane_computer", "--simulated", "sim"]
    assert "DIR/models" in run(tmp_path, *command[:3], "--help").stdout
    first = run(tmp_path, *command, "solve", os.path.join("sim", "models", "*", "*.tessel"))
    assert first.returncode == 0, first.stderr
    line, rack = (tmp_path / "sim" / "models" / name / f"{name}.tessel" for name in ("Line1", "Rack"))
    assert (line.parent / "Line1.results" / "Line1.vres").is_file() and (rack.parent / "Rack.results").is_dir()
    assert veltrane_sim.read_tessel(rack)["module"] == "Trabexon" and (line.parent / "Line1.thf").is_file()
    rack.write_text(rack.read_text(encoding="utf-8").replace('"Sample structure"', '"mine"'), encoding="utf-8")
    second = run(tmp_path, *command, "inspect", "Model", "--quiet")
    assert second.returncode == 0, second.stderr
    assert '"mine"' in rack.read_text(encoding="utf-8")  # a model the user changed is kept
