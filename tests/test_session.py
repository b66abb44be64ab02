"""The session layer: setup errors, solves with their checks, result files and
errors, the live solution, printed lines routed to logging, and simulated installations."""

import contextlib
import logging
import os
import pickle
import re
import threading
from pathlib import Path

import pytest

import veltrane_sim
from veltrane_computer.session import Session, SetupError, SolveError, SolveResult, core_output
from veltrane_computer.simulated import SimulatedInstallation, simulated_installation


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
    "breakage,expected",
    [
        ("no-installation", "the installation directory '{nowhere}' does not exist"),
        ("no-settings", "the settings file '{nowhere}' does not exist; pass settings=PATH (command line: --settings"),
        ("no-data-sources", "the data-sources file '{nowhere}' does not exist; pass data_sources=PATH"),
        ("no-extensions", "'{extensions}' does not exist: "),
        ("bad-json", "'{settings}' is not valid JSON"),
        ("no-families", "'{settings}' lacks the key 'Families'"),
        ("no-data", "'{data_sources}' lacks the key 'CurrentDatasDirectory'"),
    ],
)
def test_open_names_what_is_wrong(tmp_path, breakage, expected):
    inst = veltrane_sim.make_installation(tmp_path / "i", extensions=breakage != "no-extensions")
    paths = {"installation": inst.directory, "settings": inst.settings_path, "data_sources": inst.data_sources_path}
    if breakage in MISSING:
        paths[MISSING[breakage]] = str(tmp_path / "nowhere")
    if breakage in BROKEN_FILES:
        broken, text = BROKEN_FILES[breakage]
        Path(paths[broken]).write_text(text, encoding="utf-8")
    extensions = Path(inst.directory) / "Extensions"
    wanted = expected.format(nowhere=tmp_path / "nowhere", extensions=extensions, **paths)
    with pytest.raises(SetupError, match=re.escape(wanted)):
        Session.open(**paths)


def test_open_takes_every_form_of_module(installation, core):
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
    # In place, the results are what the run wrote beside the model; a structure model is solved with Vazer.
    in_place = session.solve(models["piping"], "DiroZiziva", sandbox=False, output_dir=models["piping"].parent / "out")
    assert [p.name for p in in_place.result_files] == ["conception.dres", "conception.fre"]
    assert all(p.parent == models["piping"].parent / "out" for p in in_place.result_files)
    assert session.solve(os.fspath(models["structure"]), "DiroZiziva").solver == "Vazer"


@pytest.mark.parametrize(
    "reason,model,solver,prepare",
    [
        ("unknown-solver", "piping", "vazer", None),
        ("missing-model", "Line1/Nope.tessel", "Vazer", None),
        ("unreadable-model", "Line1/Line1.thf", "Vazer", None),
        ("unreadable-model", "Line1/Broken.tessel", "Vazer", "broken"),
        ("solver-not-configured", "piping", "DiroZiziva", "_DiroZiziva_"),
        ("solver-not-configured", "piping", "Vazer", "gone"),
    ],
)
def test_checks_leave_the_previous_solution(session, models, core, reason, model, solver, prepare):
    path = models.get(model) or models["piping"].parents[1] / model
    if prepare == "broken":
        path.write_text("not a model", encoding="utf-8")
    previous = core.solve(os.fspath(models["structure"]), "Vazer", True)
    sandbox = core._tempDirectory_
    if prepare == "_DiroZiziva_":
        core._DiroZiziva_ = None
    elif prepare == "gone":
        core._Vazer_ = os.fspath(path.parent / "missing.exe")
    with pytest.raises(SolveError) as caught:
        session.solve(path, solver)
    assert (caught.value.reason, caught.value.model, caught.value.solver) == (reason, path, solver)
    assert core._Solution_ is previous and not previous.IsDisposed and os.path.isdir(sandbox)


def test_failed_runs_say_why(session, models, core, switches):
    switches.vazer_run_result = veltrane_sim.RunCode.SOLVER_MISSING
    with pytest.raises(SolveError, match="produced no solution") as caught:
        session.solve(models["piping"])
    assert (caught.value.reason, caught.value.return_value) == ("solver-failed", None)
    switches.vazer_run_result = None
    switches.fail("VazerSolver.ctor")
    with pytest.raises(SolveError) as caught:
        session.solve(models["piping"])
    assert caught.value.reason == "host-error"
    assert isinstance(caught.value.__cause__, veltrane_sim.InvalidOperationException)
    assert not os.path.exists(core._tempDirectory_) and core._Solution_ is None
    copy = pickle.loads(pickle.dumps(caught.value))
    assert (str(copy), copy.reason, copy.model, copy.solver) == (
        str(caught.value),
        "host-error",
        models["piping"],
        "Vazer",
    )


@pytest.mark.parametrize("ending", [None, ValueError, KeyboardInterrupt])
def test_solving_disposes_however_the_block_ends(session, models, core, ending):
    with pytest.raises(ending) if ending else contextlib.nullcontext():
        with session.solving(models["piping"], "DiroZiziva") as solution:
            assert solution.SolverName == "DiroZiziva" and core._Solution_ is solution
            if ending:
                raise ending("stop")
    assert solution.IsDisposed and core._Solution_ is None and not os.path.exists(core._tempDirectory_)


def test_the_lock_serialises_and_stale_sessions_refuse(session, models, switches):
    switches.solver_delay = 0.05
    results = []
    threads = [threading.Thread(target=lambda: results.append(session.solve(models["piping"]))) for _ in range(3)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert len(results) == 3 and all(r.result_files[0].exists() for r in results)
    other = veltrane_sim.make_installation(models["piping"].parents[2] / "other")
    Session.open(other.directory, "Tubrolis", other.settings_path, other.data_sources_path)
    with pytest.raises(RuntimeError, match="no longer set up for"):
        session.solve(models["piping"])
    session.close()
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


def test_simulated_installation_is_made_once_and_pickles(tmp_path, core):
    made = simulated_installation(tmp_path / "sim")
    assert made == SimulatedInstallation(
        tmp_path / "sim" / "Tubrolis 2025.1",
        tmp_path / "sim" / "Settings" / "Tubrolis.settings",
        tmp_path / "sim" / "Settings" / "DataSources.settings",
    )
    made.settings.write_text(made.settings.read_text(encoding="utf-8").replace('"80"', '"96"'), encoding="utf-8")
    assert simulated_installation(tmp_path / "sim") == made and '"96"' in made.settings.read_text(encoding="utf-8")
    assert veltrane_sim.current_installation().settings_path == os.fspath(made.settings)
    assert pickle.loads(pickle.dumps(made)) == made
    result = SolveResult(made.installation, "Vazer", True, tmp_path, (tmp_path / "a.vres",), 1.0, ("x",))
    assert pickle.loads(pickle.dumps(result)) == result
