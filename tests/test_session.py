"""The session layer: setup errors, solves with their checks, result folders and
errors, the live solution, printed lines routed to logging, stale sessions and
simulated installations."""

import contextlib
import logging
import os
import pickle
import re
import shutil
import threading
import time
from pathlib import Path

import pytest

import veltrane_computer
import veltrane_sim
from veltrane_computer._results import RECORD
from veltrane_computer.session import Session, SetupError, SolveError, core_output
from veltrane_computer.simulated import simulated_installation


@pytest.fixture(autouse=True)
def state_folder(tmp_path, monkeypatch):
    monkeypatch.setenv("VELTRANE_STATE_DIR", str(tmp_path / "state"))


@pytest.fixture
def models(tmp_path):
    """One model per folder, as projects keep them; Line1 has a thermal file."""
    paths = {}
    for kind, name in (("piping", "Line1"), ("structure", "Rack")):
        (tmp_path / "models" / name).mkdir(parents=True)
        paths[kind] = Path(veltrane_sim.write_tessel(str(tmp_path / "models" / name / f"{name}.tessel"), kind))
    (tmp_path / "models" / "Line1" / "Line1.thf").write_text("thermal\n", encoding="utf-8")
    return paths


# ---------------------------------------------------------------- opening


MISSING = {"no-installation": "installation", "no-settings": "settings", "no-data-sources": "data_sources"}
BROKEN_FILES = {"bad-json": ("settings", "{"), "no-families": ("settings", "{}"), "no-data": ("data_sources", "{}")}


@pytest.mark.parametrize(
    "breakage,expected,culprit",
    [
        ("no-installation", "the installation directory '{nowhere}' does not exist", "nowhere"),
        ("no-settings", "the settings file '{nowhere}' does not exist; check the path given as settings (command "
         "line: --settings)", "nowhere"),
        ("no-data-sources", "the data-sources file '{nowhere}' does not exist; check the path given as data_sources",
         "nowhere"),
        ("no-extensions", "'{extensions}' does not exist: ", "extensions"),
        ("bad-json", "'{settings}' is not valid JSON", "settings"),
        ("no-families", "'{settings}' lacks the key 'Families'", "settings"),
        ("no-data", "'{data_sources}' lacks the key 'CurrentDatasDirectory'", "data_sources"),
    ],
)
def test_open_names_what_is_wrong(tmp_path, breakage, expected, culprit):
    inst = veltrane_sim.make_installation(tmp_path / "i", extensions=breakage != "no-extensions")
    paths = {"installation": inst.directory, "settings": inst.settings_path, "data_sources": inst.data_sources_path}
    if breakage in MISSING:
        paths[MISSING[breakage]] = str(tmp_path / "nowhere")
    if breakage in BROKEN_FILES:
        broken, text = BROKEN_FILES[breakage]
        Path(paths[broken]).write_text(text, encoding="utf-8")
    places = dict(paths, nowhere=tmp_path / "nowhere", extensions=Path(inst.directory) / "Extensions")
    with pytest.raises(SetupError, match=re.escape(expected.format(**places))) as caught:
        Session.open(**paths)
    assert caught.value.path == Path(places[culprit])
    copy = pickle.loads(pickle.dumps(caught.value))
    assert (str(copy), copy.path) == (str(caught.value), caught.value.path)
    assert veltrane_computer.SetupError is SetupError and "SetupError" in veltrane_computer.__all__


def test_open_takes_every_form_of_module_and_a_simulated_installation(installation, core, tmp_path):
    paths = (installation.directory, installation.settings_path, installation.data_sources_path)
    assert Session.open(paths[0], core.VeltraneModule.Trabexon, *paths[1:]).module == core.VeltraneModule.Trabexon
    from Veltrane.SDK import VeltraneModule as HostModule  # importable once setup loaded the SDK

    for form in ("Trabexon", HostModule.Trabexon):
        assert Session.open(paths[0], form, *paths[1:]).module == core.VeltraneModule.Trabexon
    for bad in ("trabexon", 7, object()):
        with pytest.raises(ValueError, match=r"^module: "):
            Session.open(paths[0], bad, *paths[1:])
    with pytest.raises(TypeError, match=r"^settings: expected a str or os.PathLike path, not 42$"):
        Session.open(paths[0], "Tubrolis", 42)
    with pytest.raises(TypeError, match=r"^model: "):
        Session.open(*paths[:1], "Tubrolis", *paths[1:]).solve(None)
    simulated = simulated_installation(tmp_path / "sim")
    with Session.open(simulated) as session:
        assert session.installation == simulated.installation
        assert core._settingsPath_ == os.fspath(simulated.settings)
        assert core._dataSourcesPath_ == os.fspath(simulated.data_sources)
    core._settingsPath_ = paths[1]
    assert dict(simulated) == {name: getattr(simulated, name) for name in ("installation", "settings", "data_sources")}
    with Session.open(**simulated, module="Trabexon") as session:  # what users write with the fixture
        assert (session.installation, session.module) == (simulated.installation, core.VeltraneModule.Trabexon)
        assert core._settingsPath_ == os.fspath(simulated.settings)


# ---------------------------------------------------------------- solving


def test_solve_copies_results_and_disposes(session, models, core):
    core._dlls_ = [name for name in core._dlls_ if name != "Veltrane.Vazer.Core.dll"]
    result = session.solve(models["piping"])
    assert result.model == models["piping"] and result.solver == "Vazer" and result.ok
    assert result.output_dir == models["piping"].parent / "Line1.results"
    assert [p.name for p in result.result_files] == ["Line1.vres"]
    assert veltrane_sim.read_results(result.result_files[0])["solver"] == "Vazer"
    assert "Veltrane.Vazer.Core.dll loaded" in result.messages and result.seconds > 0
    assert core._Solution_ is None and not os.path.exists(core._tempDirectory_)  # solution disposed, sandbox gone
    assert re.fullmatch(r"SolveResult\('Line1.tessel', solver='Vazer', 1 result file, \d+\.\d\d s\)", repr(result))
    # In place, the results are what the run wrote beside the model, new or rewritten; a structure model is
    # solved with Vazer.
    folder = models["piping"].parent
    (folder / "conception.dres").write_text("an earlier run's", encoding="utf-8")
    in_place = session.solve(models["piping"], "DiroZiziva", sandbox=False, output_dir=folder / "out")
    assert [p.name for p in in_place.result_files] == ["conception.dres", "conception.fre"]
    assert all(p.parent == folder / "out" for p in in_place.result_files)
    assert veltrane_sim.read_results(folder / "out" / "conception.dres")["solver"] == "DiroZiziva"
    assert session.solve(os.fspath(models["structure"]), "DiroZiziva").solver == "Vazer"


def test_a_results_folder_holds_the_last_result_and_what_others_put_there(session, models, tmp_path):
    results = models["piping"].parent / "Line1.results"
    results.mkdir()
    (results / "notes.txt").write_text("mine", encoding="utf-8")
    (results / "Line1.vres").write_text("an older file", encoding="utf-8")  # not the layer's: never written over
    with pytest.raises(SolveError, match=r"\(Line1.vres\): the folder holds a file of that name") as caught:
        session.solve(models["piping"], "Vazer")
    assert caught.value.reason == "unwritable-output"
    assert sorted(os.listdir(results)) == ["Line1.vres", "notes.txt"]
    (results / "Line1.vres").unlink()
    first = session.solve(models["piping"], "Vazer")
    second = session.solve(models["piping"], "DiroZiziva")
    assert sorted(os.listdir(results)) == [RECORD, "conception.dres", "conception.fre", "notes.txt"]
    assert sorted(p.name for p in second.result_files) == ["conception.dres", "conception.fre"]
    # A file the layer copied but someone changed since is theirs now: left alone, and never written over.
    session.solve(models["piping"], "Vazer")
    (results / "Line1.vres").write_text("edited", encoding="utf-8")
    session.solve(models["piping"], "DiroZiziva")
    assert sorted(os.listdir(results)) == [RECORD, "Line1.vres", "conception.dres", "conception.fre", "notes.txt"]
    with pytest.raises(SolveError, match=r"\(Line1.vres\)"):
        session.solve(models["piping"], "Vazer")
    assert (results / "Line1.vres").read_text(encoding="utf-8") == "edited"
    assert veltrane_sim.read_results(results / "conception.dres")["solver"] == "DiroZiziva"  # the last good result
    assert first.result_files == (results / "Line1.vres",)
    # The record goes with the folder: moved elsewhere, its files are still the layer's; nothing is kept
    # in the user's state folder.
    moved = shutil.move(results, tmp_path / "moved")
    session.solve(models["piping"], "DiroZiziva", output_dir=moved)
    assert sorted(os.listdir(moved)) == [RECORD, "Line1.vres", "conception.dres", "conception.fre", "notes.txt"]
    assert not (tmp_path / "state").exists()


@pytest.mark.parametrize(
    "reason,model,solver,prepare,message",
    [
        ("unknown-solver", "piping", "vazer", None, "solver: 'vazer' is not one of 'Vazer', 'DiroZiziva'"),
        ("missing-model", "Line1/Nope.tessel", "Vazer", None, "model: '{path}' does not exist"),
        ("missing-model", "Line1", "Vazer", None, "model: '{path}' is a folder, not a model file"),
        ("unreadable-model", "Line1/Line1.thf", "Vazer", None, "model: '{path}' is not a .tessel file"),
        # Windows reports a name too long as a missing file
        ("missing-model" if os.name == "nt" else "unreadable-model", "Line1/" + "x" * 300 + ".tessel", "Vazer", None,
         "model: '{path}' does not exist" if os.name == "nt" else "model: '{path}' cannot be read: "),
        ("unreadable-model", "Line1/Broken.tessel", "Vazer", "broken",
         "model: '{path}' cannot be read by the application"),
        ("solver-not-configured", "piping", "DiroZiziva", "_DiroZiziva_",
         "the DiroZiziva solver path is not set in the settings (DIROZIZIVA / PATH / SOLVER PATH)"),
        ("solver-not-configured", "piping", "Vazer", "gone",
         "the Vazer solver path '{path.parent}{sep}missing.exe' set in the settings does not exist"),
        ("unwritable-output", "piping", "Vazer", "results-is-a-file",
         "output_dir: the results of '{path}' cannot be written to '{output}': "),
        ("unwritable-output", "piping", "Vazer", "under-a-file",
         "output_dir: the results of '{path}' cannot be written to '{output}': "),
        ("unwritable-output", "piping", "Vazer", "too-long",
         "output_dir: the results of '{path}' cannot be written to '{output}': "),
    ],
)
def test_checks_leave_the_previous_solution(session, models, core, journal, reason, model, solver, prepare, message):
    path = models.get(model) or models["piping"].parents[1] / model
    output = None
    if prepare == "broken":
        path.write_text("not a model", encoding="utf-8")
    elif prepare == "results-is-a-file":
        path.with_suffix(".results").write_text("a file", encoding="utf-8")
    elif prepare == "under-a-file":
        output = path.parent / "Line1.thf" / "deeper" / "results"
    elif prepare == "too-long":
        output = path.parent / "new" / ("x" * 300)
    previous = core.solve(os.fspath(models["structure"]), "Vazer", True)
    sandbox = core._tempDirectory_
    runs = journal.count("VazerSolver.Run")
    if prepare == "_DiroZiziva_":
        core._DiroZiziva_ = None
    elif prepare == "gone":
        core._Vazer_ = os.fspath(path.parent / "missing.exe")
    with pytest.raises(SolveError) as caught:
        session.solve(path, solver, output_dir=output)
    assert (caught.value.reason, caught.value.model, caught.value.solver) == (reason, path, solver)
    assert str(caught.value).startswith(message.format(path=path, output=output or path.with_suffix(".results"),
                                                       sep=os.sep))
    assert core._Solution_ is previous and not previous.IsDisposed and os.path.isdir(sandbox)
    assert journal.count("VazerSolver.Run") == runs
    assert repr(caught.value) == f"SolveError({path.name!r}, solver={solver!r}, reason={reason!r})"
    assert not (path.parent / "new").exists()  # nothing made is left behind


def test_failed_runs_and_copies_say_why(session, models, core, switches, tmp_path):
    hook = threading.excepthook
    switches.vazer_run_result = veltrane_sim.RunCode.SOLVER_MISSING
    with pytest.raises(SolveError, match="produced no solution$") as caught:
        session.solve(models["piping"])
    assert (caught.value.reason, caught.value.return_value) == ("solver-failed", None)
    assert not (models["piping"].parent / "Line1.results").exists()
    switches.vazer_run_result = None
    empty = veltrane_sim.write_tessel(str(tmp_path / "Empty.tessel"), "piping", empty_model=True)
    with pytest.raises(SolveError, match="produced no solution: the model has no elements$"):
        session.solve(empty)
    switches.fail("VazerSolver.ctor")
    with pytest.raises(SolveError) as caught:
        session.solve(models["piping"])
    assert caught.value.reason == "host-error" and threading.excepthook is hook
    assert isinstance(caught.value.__cause__, veltrane_sim.InvalidOperationException)
    assert not os.path.exists(core._tempDirectory_) and core._Solution_ is None
    copy = pickle.loads(pickle.dumps(caught.value))
    assert (str(copy), copy.reason, copy.model, copy.solver) == (str(caught.value), "host-error",
                                                                 models["piping"], "Vazer")
    # A copy that fails once solved: a SolveError, and what was not copied is not listed.
    switches.reset()
    output = tmp_path / "out"
    (output / "conception.fre").mkdir(parents=True)
    with pytest.raises(SolveError, match=re.escape(f"could not be copied to '{output}' (conception.fre)")) as caught:
        session.solve(models["piping"], "DiroZiziva", output_dir=output)
    assert caught.value.reason == "unwritable-output"
    assert sorted(os.listdir(output)) == ["conception.fre"]  # as it was
    shutil.rmtree(output / "conception.fre")
    assert [p.name for p in session.solve(models["piping"], output_dir=output).result_files] == ["Line1.vres"]
    assert sorted(os.listdir(output)) == [RECORD, "Line1.vres"]


@pytest.mark.parametrize("ending", [None, ValueError, KeyboardInterrupt])
def test_solving_disposes_however_the_block_ends(session, models, core, ending):
    with pytest.raises(ending) if ending else contextlib.nullcontext():
        with session.solving(models["piping"], "DiroZiziva") as solution:
            assert solution.SolverName == "DiroZiziva" and core._Solution_ is solution
            if ending:
                raise ending("stop")
    assert solution.IsDisposed and core._Solution_ is None and not os.path.exists(core._tempDirectory_)


def test_the_lock_serialises_and_sessions_refuse_once_set_up_again(session, installation, models, switches, core):
    switches.solve_seconds = 0.05
    results = []
    threads = [threading.Thread(target=lambda: results.append(session.solve(models["piping"]))) for _ in range(3)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert len(results) == 3 and all(r.result_files[0].exists() for r in results)
    # The same installation with other settings files, then the core's own setup: the older session refuses.
    settings = shutil.copy(installation.settings_path, models["piping"].parents[1] / "Other.settings")
    newer = Session.open(installation.directory, "Tubrolis", settings, installation.data_sources_path)
    for stale in (session, newer):
        with pytest.raises(RuntimeError, match="set up again"):
            stale.solve(models["piping"])
        with pytest.raises(RuntimeError, match="set up again"):
            stale.solver_paths  # noqa: B018
        newest = Session.open(installation.directory, "Tubrolis")
        if stale is session:
            core.setup_veltrane_computer(installation.directory, core.VeltraneModule.Tubrolis)
    with newest.solving(models["piping"]) as solution:
        session.close()  # a stale session leaves the newer setup's solution alone
        assert not solution.IsDisposed
    with pytest.raises(RuntimeError, match="closed"):
        session.solve(models["piping"])


# ---------------------------------------------------------------- printed lines, simulated installations


def test_printed_lines_go_to_the_log_and_print_comes_back(ready, core, caplog):
    caplog.set_level(logging.INFO, logger="veltrane_computer")
    core._dlls_ = [name for name in core._dlls_ if name != "Veltrane.Helper.dll"]
    with pytest.raises(KeyError):
        with core_output() as lines:
            core.load_dll("Veltrane.Helper.dll")
            vars(core)["print"]("Impossible to delete temp directory :", "busy")
            raise KeyError("stop")
    assert lines == ["Veltrane.Helper.dll loaded", "Impossible to delete temp directory : busy"]
    assert [(r.levelname, r.getMessage()) for r in caplog.records] == [
        ("INFO", "Veltrane.Helper.dll loaded"),
        ("WARNING", "Impossible to delete temp directory : busy"),
    ]
    assert "print" not in vars(core)


@pytest.mark.timeout(60)
def test_only_the_calls_own_threads_lines_are_kept(session, models, core, switches, journal, capsys):
    switches.solve_seconds = 0.5
    core._dlls_ = [name for name in core._dlls_ if name != "Veltrane.Tubrolis.Project.dll"]
    results = []
    solving = threading.Thread(target=lambda: results.append(session.solve(models["piping"])))
    solving.start()
    while not journal.count("VazerSolver.Run") and solving.is_alive():  # the solve is running on its worker
        time.sleep(0.01)
    core.load_dll("Veltrane.Tubrolis.Project.dll")  # directly, from another thread meanwhile
    solving.join()
    assert "Veltrane.Tubrolis.Project.dll loaded\n" in capsys.readouterr().out
    assert "Veltrane.Tubrolis.Project.dll loaded" not in results[0].messages
    # The solver worker a call starts is the call's own; another thread's lines are not.
    with core_output() as lines:
        for name in ("Thread-98 (_VazerSolve)", "Thread-99 (unrelated)"):
            thread = threading.Thread(target=vars(core)["print"], args=(f"from {name}",), name=name)
            thread.start()
            thread.join()
    assert lines == ["from Thread-98 (_VazerSolve)"]
    assert capsys.readouterr().out == "from Thread-99 (unrelated)\n"


def test_simulated_installation_is_made_once(tmp_path, core):
    made = simulated_installation(tmp_path / "sim")
    assert made.installation == tmp_path / "sim" / "Tubrolis 2025.1"
    assert made.settings == tmp_path / "sim" / "Settings" / "Tubrolis.settings"
    made.settings.write_text(made.settings.read_text(encoding="utf-8").replace('"80"', '"96"'), encoding="utf-8")
    assert simulated_installation(tmp_path / "sim") == made and '"96"' in made.settings.read_text(encoding="utf-8")
    assert veltrane_sim.current_installation().settings_path == os.fspath(made.settings)


@pytest.mark.timeout(60)
@pytest.mark.parametrize("ran", [True, False])
def test_ctrl_c_as_the_solver_thread_starts_leaves_no_run_behind(session, models, core, switches, monkeypatch,
                                                                   capsys, ran):
    """Thread.start waits for the thread to run; an interrupt there (before or after the thread has its
    identity) must neither become another error nor leave an orphan run failing later in a removed
    sandbox.  A real Ctrl-C hits that moment too rarely to be sent here: it is raised in that wait."""
    switches.solver_delay = 0.3
    gate = threading.Event()

    class Started(threading.Event):
        def wait(self, timeout=None):
            if not ran:
                threading.Timer(0.2, gate.set).start()  # the thread runs a little later
            elif not super().wait(timeout):
                return False
            raise KeyboardInterrupt

    start = threading.Thread.start

    def interrupted_start(thread):
        if thread.name.endswith("(_VazerSolve)"):
            monkeypatch.setattr(threading.Thread, "start", start)
            bootstrap, thread._started = thread._bootstrap, Started()
            thread._bootstrap = lambda: (gate.wait(), bootstrap())
            gate.set() if ran else None
        start(thread)

    monkeypatch.setattr(threading.Thread, "start", interrupted_start)
    with pytest.raises(KeyboardInterrupt):
        session.solve(models["piping"])
    assert not [thread for thread in threading.enumerate() if thread.name.endswith("(_VazerSolve)")]
    assert core._Solution_ is None and not os.path.exists(core._tempDirectory_)
    assert session.solve(models["structure"]).result_files[0].is_file()
    assert "Traceback" not in capsys.readouterr().err
