"""The veltrane command, run as users run it: a child process against the simulated
host, with real signals for Ctrl-C; and the package's import conventions in
processes where no bridge can be imported."""

import csv
import io
import json
import os
import re
import signal
import subprocess
import sys
from pathlib import Path

import pytest

import veltrane_computer
import veltrane_sim

SOURCE = os.fspath(Path(veltrane_computer.__file__).parents[1])
# Makes `clr` and `pythoncom` unimportable in the child, whatever this machine has installed.
NO_BRIDGE = "import sys; sys.modules['clr'] = None; sys.modules['pythoncom'] = None\n"


def run_without_bridge(code, *argv):
    environment = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
    return subprocess.run(
        [sys.executable, "-c", NO_BRIDGE + code, *argv], capture_output=True, text=True, env=environment, timeout=120
    )


@pytest.fixture
def place(tmp_path, monkeypatch):
    """The child's working folder, where `sim` is its simulated installation."""
    monkeypatch.chdir(tmp_path)
    return tmp_path


def environment(place, **variables):
    return dict(os.environ, PYTHONPATH=SOURCE, VELTRANE_STATE_DIR=os.fspath(place / "state"), **variables)


def veltrane(place, *argv, simulated=True, **variables):
    """`veltrane [--simulated sim] ARGV...` in a child process, from place."""
    command = [sys.executable, "-m", "veltrane_computer", *(["--simulated", "sim"] if simulated else []), *argv]
    return subprocess.run(
        command, cwd=place, capture_output=True, text=True, env=environment(place, **variables), timeout=120
    )


def model(place, relative, kind="piping", **options):
    path = place / relative
    path.parent.mkdir(parents=True, exist_ok=True)
    return veltrane_sim.write_tessel(os.fspath(path), kind, **options)


def test_version_help_and_the_noted_import_error_without_a_bridge():
    version = run_without_bridge(
        "import runpy; runpy.run_module('veltrane_computer', run_name='__main__')", "--version"
    )
    assert (version.returncode, version.stdout) == (0, f"veltrane {veltrane_computer.__version__}\n")
    probe = run_without_bridge(
        "import veltrane_computer, sys\n"
        "from veltrane_computer.cli import main\n"
        "assert 'veltrane_computer.veltrane_core' not in sys.modules\n"
        "try:\n"
        "    from veltrane_computer import veltrane_core\n"
        "except ModuleNotFoundError as error:\n"
        "    print(error.name, error.__notes__[0])\n"
        "main(['solve', '--help'])\n"
    )
    assert probe.returncode == 0, probe.stderr
    first, rest = probe.stdout.split("\n", 1)
    assert first.startswith("clr ") and "pip install veltrane_computer" in first and "veltrane_sim.activate()" in first
    assert rest.startswith("usage: veltrane solve") and "--in-place" in rest
    assert re.search(r"exit status:\n  0 +all done\n  1 .*\n  2 +bad input.*\n  3 +an internal error.*\n  130 ", rest)


def test_package_names_are_lazy_but_complete(core):
    assert veltrane_computer.solve is core.solve and veltrane_computer._VazerSolve is core._VazerSolve
    assert {"solve", "VeltraneModule", "Session", "SetupError", "veltrane_core", "__version__"} <= set(
        dir(veltrane_computer)
    )
    from veltrane_computer import SetupError, SolveError, VeltraneModule  # noqa: F401

    with pytest.raises(AttributeError, match="no attribute 'nothing'"):
        veltrane_computer.nothing  # noqa: B018


@pytest.mark.timeout(120)
def test_check_names_what_would_fail(place):
    passed = veltrane(place, "check")
    assert passed.returncode == 0 and passed.stdout.rstrip().endswith("setup would succeed")
    # --settings and --data-sources replace the simulated installation's own files.
    settings = place / "sim" / "Settings" / "Tubrolis.settings"
    solver = place / "sim" / "Tubrolis 2025.1" / "Solvers" / "Vazer" / "VazerSolver.exe"
    gone = place / "gone" / "VazerSolver.exe"
    # The settings are JSON: a path is written there as JSON writes it (backslashes doubled on Windows).
    text = settings.read_text(encoding="utf-8").replace(json.dumps(str(solver)), json.dumps(str(gone)))
    (place / "Other.settings").write_text(text, encoding="utf-8")
    (place / "Other.data").write_text(json.dumps({"CurrentDatasDirectory": str(place / "data"),
                                                  "CurrentProjectsDirectory": str(place)}), encoding="utf-8")
    failed = veltrane(place, "check", "--settings", "Other.settings", "--data-sources", "Other.data", "--json")
    assert failed.returncode == 1
    document = json.loads(failed.stdout)
    assert document["ok"] is False and document["setup"] is True
    assert document["problems"] == [f"the Vazer solver '{gone}' set in the settings does not exist"]
    assert {"item": "data folder", "path": str(place / "data"), "status": "missing"} in document["items"]
    assert {"item": "Tubrolis.settings", "path": "Other.settings", "status": "found"} in document["items"]
    nowhere = veltrane(place, "check", "--settings", "nowhere.settings")
    assert nowhere.returncode == 1 and nowhere.stdout.rstrip().endswith("setup would fail")
    assert re.search(r"\nTubrolis\.settings +nowhere\.settings +missing\nDataSources\.settings +\S.* +found\n",
                     nowhere.stdout)
    assert (f"the settings file '{place / 'nowhere.settings'}' does not exist; check the path given as settings "
            "(command line: --settings)") in nowhere.stdout


@pytest.mark.timeout(120)
def test_solve_names_result_folders_uniquely_and_goes_on_after_a_failure(place):
    model(place, "a/x.tessel")
    model(place, "b/x.tessel", "structure")
    both = veltrane(place, "solve", "a/x.tessel", "b/x.tessel", "--output", "OUT")
    assert both.returncode == 0, both.stderr
    assert sorted(os.listdir(place / "OUT")) == ["x", "x-2"]
    assert veltrane_sim.read_results(place / "OUT/x/x.vres") != veltrane_sim.read_results(place / "OUT/x-2/x.vres")
    x_2 = re.escape(os.path.join("OUT", "x-2"))
    assert re.search(rf"\nx\.tessel +Vazer +ok +[\d.]+ +\S+{re.escape(os.sep)}{x_2}\n2 of 2 solved\n$", both.stdout)
    # progress on standard error
    assert both.stderr.startswith(f"[1/2] {os.path.join('a', 'x.tessel')}: ok, 1 result file in ")
    # An unwritable result folder and an empty model fail on their own; the others are solved.
    model(place, "c/locked.tessel")
    (place / "c" / "locked.results").write_text("a file in the way", encoding="utf-8")
    model(place, "c/empty.tessel", empty_model=True)
    mixed = veltrane(place, "-v", "--simulated", "sim", "solve", "--module", "Trabexon", "--in-place",
                     "c/locked.tessel", "c/empty.tessel", "a/x.tessel", simulated=False)
    assert mixed.returncode == 1 and "Traceback" not in mixed.stderr
    assert re.search(r"locked\.tessel +Vazer +unwritable-output +- +-\nempty\.tessel +Vazer +solver-failed +- +-\n"
                     rf"x\.tessel +Vazer +ok .*{re.escape(os.path.join('a', 'x.results'))}\n1 of 3 solved\n$",
                     mixed.stdout)
    assert f"'{place / 'c' / 'locked.results'}'" in mixed.stderr
    assert "produced no solution: the model has no elements" in mixed.stderr
    assert "INFO: set up against " in mixed.stderr and " for Trabexon\n" in mixed.stderr  # -v and --module
    assert "INFO: Veltrane.Vazer.Core.dll loaded" in mixed.stderr
    assert (place / "a" / "x.vres").is_file() and (place / "a" / "x.results" / "x.vres").is_file()  # in place


@pytest.mark.timeout(180)
def test_solve_batch_and_the_manifest_give_records_of_one_shape_as_json_or_csv(place):
    model(place, "a/x.tessel")
    model(place, "a/empty.tessel", empty_model=True)
    solved = veltrane(place, "solve", "a/x.tessel", "a/empty.tessel", "--json", "--quiet")
    assert (solved.returncode, solved.stderr) == (1, "")
    document = json.loads(solved.stdout)
    assert (document["command"], document["ok"], document["interrupted"]) == ("solve", False, False)
    assert document["output_dir"] == str(place)  # without --output, result files are relative to the current folder
    assert [(r["name"], r["model"], r["status"], r["reason"], r["result_files"]) for r in document["records"]] == [
        ("x", str(place / "a" / "x.tessel"), "ok", None, ["a/x.results/x.vres"]),
        ("empty", str(place / "a" / "empty.tessel"), "failed", "solver-failed", [])]
    assert document["records"][1]["error"].startswith("SolveError: the Vazer run on ")
    batch = veltrane(place, "batch", "a/x.tessel", "a/empty.tessel", "--workers", "1", "--json", "--output", "B")
    assert batch.returncode == 1
    batched = json.loads(batch.stdout)
    assert (batched["command"], batched["ok"], batched["output_dir"]) == ("batch", False, str(place / "B"))
    manifest = json.loads((place / "B" / "manifest.json").read_text(encoding="utf-8"))["jobs"]
    assert batched["records"] == manifest
    for solve_record, batch_record in zip(document["records"], manifest, strict=True):
        assert list(solve_record) == list(batch_record)  # the same fields, in the same order
        assert (solve_record["status"], solve_record["reason"]) == (batch_record["status"], batch_record["reason"])
        for path in batch_record["result_files"]:
            assert (place / "B" / path).is_file()
    rows = veltrane(place, "solve", "a/x.tessel", "a/empty.tessel", "--output", "C", "--csv", "-q")
    table = list(csv.DictReader(io.StringIO(rows.stdout)))
    assert list(table[0]) == list(manifest[0])
    assert [(row["name"], row["status"], row["reason"], row["result_files"]) for row in table] == [
        ("x", "ok", "", "x/x.vres"), ("empty", "failed", "solver-failed", "")]
    assert float(table[0]["seconds"]) > 0 and rows.returncode == 1
    inspected = veltrane(place, "inspect", "Layer", "--json")
    assert json.loads(inspected.stdout)["description"]["Name"] == "Layer"
    refused = veltrane(place, "solve", "a/nope.tessel", "--json")
    assert refused.returncode == 2 and json.loads(refused.stdout)["exit_status"] == 2
    assert "MODEL 'a/nope.tessel' does not exist" in refused.stderr


@pytest.mark.timeout(120)
def test_models_are_patterns_and_folders_or_missing_files_are_refused(place):
    for name in ("w/p1/a.tessel", "w/p2/b.tessel", "w/p2/deep/c.tessel"):
        model(place, name)
    solved = veltrane(place, "solve", "w/**/*.tessel", "w/p?/[ab].tessel", "--output", "OUT")
    assert solved.returncode == 0, solved.stderr
    assert sorted(os.listdir(place / "OUT")) == ["a", "b", "c"]  # a and b named twice: solved once
    for command in ("solve", "batch"):
        refused = veltrane(place, command, "w/*.tessel", "w/p1", "w/p1/nope.tessel", "w/p1/a.tessel")
        assert refused.returncode == 2 and "Traceback" not in refused.stderr
        assert refused.stderr == (f"veltrane {command}: error: MODEL 'w/*.tessel' matches no file; 'w/p1' is a "
                                  f"folder; name its models, for example 'w/p1/*.tessel'; 'w/p1/nope.tessel' does "
                                  "not exist\n")


@pytest.mark.timeout(120)
def test_global_options_before_or_after_the_command_a_model_named_twice_and_inspect_hints(place):
    model(place, "m.tessel")
    after = veltrane(place, "solve", "m.tessel", "--simulated", "sim", "-q", "-v", simulated=False)
    assert after.returncode == 0 and "INFO: set up against " in after.stderr and "[1/1]" not in after.stderr
    before = veltrane(place, "-q", "--simulated", "sim", "solve", "m.tessel", "*.tessel", simulated=False)
    assert (before.returncode, before.stderr) == (0, "") and before.stdout.endswith("\n1 of 1 solved\n")
    batch = veltrane(place, "batch", "m.tessel", os.path.join(".", "m.tessel"), "--workers", "1", "--output", "B")
    assert batch.returncode == 0 and "\n1 job: 1 ok, in " in batch.stdout
    assert sorted(os.listdir(place / "B")) == ["m", "manifest.journal", "manifest.json"]
    wrong_case = veltrane(place, "inspect", "model")
    assert wrong_case.returncode == 2 and wrong_case.stderr.endswith(
        "holds a class 'model'; did you mean 'Model'? (`inspect --list` lists the classes)\n")
    listed = veltrane(place, "inspect", "--list")
    assert listed.returncode == 0 and "\nVeltrane.Tubrolis.Core.Model\n" in listed.stdout


@pytest.mark.timeout(120)
def test_bad_input_and_internal_errors_have_exit_statuses_of_their_own(place):
    (place / "a-file").write_text("", encoding="utf-8")
    model(place, "m.tessel")
    cases = [
        (["solve", "m.tessel"], "veltrane solve: error: --installation is required (or --simulated DIR)"),
        (["check"], "veltrane check: error: INSTALLATION is required"),
        (["--simulated", "sim", "inspect", "NoSuchClass"], "veltrane inspect: error: CLASS: no assembly of "),
        (["--simulated", "sim", "inspect", "X", "--installation", "x"], "error: --installation x: not with --simul"),
        (["--simulated", "sim", "inspect", "Model", "--settings", "no.settings"], "error: the settings file '"),
        (["--simulated", "a-file", "check"], "veltrane check: error: --simulated a-file: is a file, not a folder\n"),
    ]
    for argv, message in cases:
        child = veltrane(place, *argv, simulated=False)
        assert child.returncode == 2 and message in child.stderr and "Traceback" not in child.stderr, argv
    broken = subprocess.run(
        [sys.executable, "-c", "import sys\nfrom veltrane_computer import cli\n"
         "def add(commands):\n"
         "    cli.add_command(commands, 'fail', lambda args: 1 / 0, 'a command with a bug', '')\n"
         "cli.REGISTRARS.append(add)\nsys.exit(cli.main(['fail']))\n"],
        capture_output=True, text=True, env=environment(place), timeout=60,
    )
    assert broken.returncode == 3 and "Traceback" in broken.stderr
    assert broken.stderr.endswith("veltrane fail: internal error: ZeroDivisionError: division by zero\n")


@pytest.mark.timeout(120)
def test_streams_replace_what_they_cannot_encode(place):
    model(place, "m/Stütze.tessel")
    child = veltrane(place, "solve", "m/Stütze.tessel", PYTHONIOENCODING="ascii")
    assert child.returncode == 0 and "Traceback" not in child.stderr
    assert "St?tze.tessel" in child.stdout and f"{os.path.join('m', 'St?tze.tessel')}: ok" in child.stderr
    assert (place / "m" / "Stütze.results" / "Stütze.vres").is_file()


@pytest.mark.timeout(180)
def test_a_reader_that_goes_away_leaves_the_exit_status_of_the_work(place):
    model(place, "m.tessel")
    reader = "import sys; sys.stdin.readline()"  # as `| head -1`: one line, then gone
    cases = [(["inspect", "Model"], 0), (["check", "--settings", "nowhere.settings"], 1)]
    for argv, status in cases * 3:
        for early in (True, False):
            head = subprocess.Popen([sys.executable, "-c", "pass" if early else reader], stdin=subprocess.PIPE)
            if early:
                head.wait()  # gone before the command writes a line
            command = [sys.executable, "-m", "veltrane_computer", "--simulated", "sim", *argv]
            child = subprocess.run(command, cwd=place, stdout=head.stdin, stderr=subprocess.PIPE, text=True,
                                   env=environment(place), timeout=60)
            head.stdin.close()
            head.wait()
            assert (child.returncode, child.stderr) == (status, ""), (argv, early)


def interrupted(place, *argv):
    """The command, sent SIGINT once its first model is done, as Ctrl-C in a terminal does."""
    child = subprocess.Popen(
        [sys.executable, "-m", "veltrane_computer", "--simulated", "sim", *argv], cwd=place, text=True,
        stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=environment(place, VELTRANE_SIM_SOLVE_SECONDS="1"),
    )
    try:
        seen = ""
        while not seen.startswith("[1/"):
            seen = child.stderr.readline()
            assert seen, "the command ended before its first model was solved"
        child.send_signal(signal.SIGINT)
        out, err = child.communicate(timeout=60)
    finally:
        child.kill()
        child.wait()
    return child.returncode, out, err


@pytest.mark.skipif(sys.platform == "win32", reason="sends SIGINT, which Windows cannot send to a child")
@pytest.mark.timeout(240)
def test_ctrl_c_prints_the_summary_so_far_and_exits_130(place):
    models = [model(place, f"m{number}/m{number}.tessel") for number in range(4)]
    status, out, err = interrupted(place, "solve", *models)
    assert status == 130 and "Traceback" not in err
    assert re.search(r"m0\.tessel +Vazer +ok .*\nm1\.tessel +Vazer +interrupted .*\n(.*\n){2}1 of 4 solved\n$", out)
    assert err.endswith("interrupted: 1 ok, 1 cancelled, 2 pending\n")
    status, out, err = interrupted(place, "batch", *models, "--workers", "1", "--output", "B")
    assert status == 130 and "Traceback" not in err
    manifest = json.loads((place / "B" / "manifest.json").read_text(encoding="utf-8"))
    statuses = [job["status"] for job in manifest["jobs"]]
    counts = {state: statuses.count(state) for state in ("ok", "cancelled", "pending")}
    assert err.endswith(f"interrupted: {counts['ok']} ok, {counts['cancelled']} cancelled, {counts['pending']} "
                        "pending; run the same command again to resume\n")
    assert counts["ok"] >= 1 and sum(counts.values()) == 4
