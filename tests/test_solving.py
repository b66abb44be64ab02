"""Solving: the dispatch of solve, the two solver runs on their worker thread,
the sandbox and the life of the current solution."""

import hashlib
import os
import tempfile
import threading
import types
import uuid
from pathlib import Path

import pytest
from _catalog import GUARD_MESSAGE

import veltrane_sim

SOLVER_NAME_MESSAGE = "Invalid solver name. use 'Vazer' or 'DiroZiziva'."


# ---------------------------------------------------------------- helpers


@pytest.fixture
def temp_root(tmp_path, monkeypatch):
    """The interpreter's temporary directory, where sandboxes are made."""
    root = tmp_path / "temp"
    root.mkdir()
    monkeypatch.setattr(tempfile, "tempdir", str(root))
    return root


@pytest.fixture
def folder(tmp_path):
    path = tmp_path / "models"
    path.mkdir()
    return path


def write_model(folder, name="pipe.tessel", kind="piping"):
    return veltrane_sim.write_tessel(str(Path(folder) / name), kind)


def snapshot(folder):
    """Every entry under folder with the hash of its bytes."""
    return {
        p.relative_to(folder).as_posix(): hashlib.sha256(p.read_bytes()).hexdigest() if p.is_file() else "dir"
        for p in sorted(Path(folder).rglob("*"))
    }


def uuid_named(name):
    return str(uuid.UUID(name)) == name


def loaded(core, path):
    tessel = core.loadTessel(path)
    assert tessel is not None
    return tessel


def ctor_args(journal, op):
    [call] = journal.calls(op)
    return call.args


class Disposable:
    """A stand-in solution that counts its disposals."""

    def __init__(self, error=None):
        self.disposed = 0
        self.error = error

    def Dispose(self):
        self.disposed += 1
        if self.error is not None:
            raise self.error


# ---------------------------------------------------------------- guard


class TestGuard:
    @pytest.mark.parametrize(
        "call",
        [
            lambda c: c.solve("x.tessel", "Vazer", False),
            lambda c: c.solvePipingModel(None, "x.tessel", "Vazer", "."),
            lambda c: c.solveStructureModel(None, "x.tessel", "."),
        ],
        ids=["solve", "solvePipingModel", "solveStructureModel"],
    )
    def test_solvers_need_setup_before_anything_else(self, core, journal, capsys, call):
        core._validSetup_ = False
        with pytest.raises(OSError) as error:
            call(core)
        assert str(error.value) == GUARD_MESSAGE
        assert capsys.readouterr().out == ""
        assert journal.ops() == []


# ---------------------------------------------------------------- solve


class TestSolveDispatch:
    def test_missing_file_keeps_the_previous_solution(self, ready, core, journal, capsys, tmp_path):
        previous = Disposable()
        core._Solution_ = previous
        assert core.solve(str(tmp_path / "missing.tessel"), "Vazer", True) is None
        assert capsys.readouterr().out == "Invalid filename\n"
        assert core._Solution_ is previous and previous.disposed == 0
        assert journal.ops() == []

    def test_unreadable_model_leaves_its_sandbox(self, ready, core, folder, temp_root, capsys):
        bad = folder / "broken.tessel"
        bad.write_text("not a model")
        assert core.solve(str(bad), "Vazer", True) is None
        assert capsys.readouterr().out.splitlines()[-1:] == ["Invalid tessel"]
        sandbox = Path(core._tempDirectory_)
        assert sandbox.parent == temp_root
        assert sorted(os.listdir(sandbox)) == ["broken.tessel"]

    def test_unknown_calculation_code_returns_none_quietly(self, ready, core, folder, monkeypatch, capsys):
        path = write_model(folder)
        routed = []
        monkeypatch.setattr(core, "loadTessel", lambda f: types.SimpleNamespace(CalculationCode=object()))
        monkeypatch.setattr(core, "solvePipingModel", lambda *a: routed.append(a))
        monkeypatch.setattr(core, "solveStructureModel", lambda *a: routed.append(a))
        assert core.solve(path, "Vazer", False) is None
        assert routed == []
        assert capsys.readouterr().out == ""

    @pytest.mark.parametrize("kind, target", [("piping", "solvePipingModel"), ("structure", "solveStructureModel")])
    def test_routes_by_calculation_code_and_returns_the_module_solution(
        self, ready, core, folder, temp_root, monkeypatch, kind, target
    ):
        path = write_model(folder, kind=kind)
        received = []
        handed = object()

        def fake(*args):
            received.append(args)
            core._Solution_ = handed
            return "ignored"

        monkeypatch.setattr(core, target, fake)
        assert core.solve(path, "AnyName", True) is handed
        [args] = received
        sandbox = core._tempDirectory_
        expected_file = os.path.join(sandbox, "pipe.tessel")
        if kind == "piping":
            assert args[1:] == (expected_file, "AnyName", sandbox)
        else:
            assert args[1:] == (expected_file, sandbox)
        assert args[0].FileName == expected_file

    @pytest.mark.parametrize("solvername", ["DiroZiziva", "vazer", "anything"])
    def test_structure_model_runs_vazer_whatever_the_name(self, ready, core, folder, journal, capsys, solvername):
        path = write_model(folder, "frame.tessel", kind="structure")
        solution = core.solve(path, solvername, False)
        assert solution is not None and solution is core._Solution_
        assert solution.SolverName == "Vazer"
        assert journal.count("VazerSolver.ctor") == 1
        assert journal.count("DiroZizivaSolver.ctor") == 0
        assert SOLVER_NAME_MESSAGE not in capsys.readouterr().out

    def test_solution_is_disposed_by_the_next_solve(self, ready, core, folder, journal):
        path = write_model(folder)
        first = core.solve(path, "Vazer", False)
        second = core.solve(path, "DiroZiziva", False)
        assert first.IsDisposed and not second.IsDisposed
        assert second is core._Solution_
        assert veltrane_sim.open_solutions() == [second]


class TestSandbox:
    @pytest.mark.parametrize("solvername", ["Vazer", "DiroZiziva"])
    def test_sandbox_solve_leaves_the_model_folder_unchanged(self, ready, core, folder, temp_root, solvername):
        path = write_model(folder)
        (folder / "loads.thf").write_text("thermal data\n")
        before = snapshot(folder)
        solution = core.solve(path, solvername, True)
        assert solution is not None
        assert snapshot(folder) == before
        sandbox = core._tempDirectory_
        assert os.path.dirname(sandbox) == str(temp_root)
        assert solution.WorkingDirectory == sandbox
        results = veltrane_sim.read_results(solution.ResultFile)
        assert results["thf"] == os.path.join(sandbox, "loads.thf")

    @pytest.mark.parametrize(
        "inputs, copied",
        [
            (["pipe.fre", "conception.fre"], ["pipe.fre"]),
            (["conception.fre"], ["conception.fre"]),
            ([], []),
        ],
        ids=["same-named", "conception", "none"],
    )
    def test_sandbox_holds_model_input_file_and_first_thf(
        self, ready, core, folder, temp_root, monkeypatch, inputs, copied
    ):
        path = write_model(folder)
        for name in inputs:
            (folder / name).write_text(f"input {name}\n")
        (folder / "DATA.THF").write_text("thermal\n")
        (folder / "notes.txt").write_text("not copied\n")
        captured = []
        monkeypatch.setattr(core, "loadTessel", lambda f: captured.append(f))  # stop before the run
        assert core.solve(path, "Vazer", True) is None
        sandbox = Path(core._tempDirectory_)
        assert captured == [str(sandbox / "pipe.tessel")]
        assert sorted(os.listdir(sandbox)) == sorted(["pipe.tessel", "DATA.THF", *copied])
        for name in copied:
            assert (sandbox / name).read_text() == f"input {name}\n"
        assert uuid_named(sandbox.name)

    def test_diroziziva_writes_its_input_inside_the_sandbox(self, ready, core, folder, temp_root):
        path = write_model(folder)
        solution = core.solve(path, "DiroZiziva", True)
        sandbox = core._tempDirectory_
        assert sorted(os.listdir(folder)) == ["pipe.tessel"]
        assert solution.ResultFile == os.path.join(sandbox, "conception.dres")
        assert veltrane_sim.read_fre(os.path.join(sandbox, "conception.fre"))["head"]["MODULE"] == "Tubrolis"

    def test_each_solve_removes_the_previous_sandbox(self, ready, core, folder, temp_root):
        path = write_model(folder)
        core.solve(path, "Vazer", True)
        first = core._tempDirectory_
        core.solve(path, "Vazer", True)
        second = core._tempDirectory_
        assert first != second
        assert not os.path.exists(first) and os.path.isdir(second)
        core.solve(path, "Vazer", False)  # in place: the sandbox goes, its name stays
        assert not os.path.exists(second)
        assert core._tempDirectory_ == second
        assert os.path.isfile(folder / "pipe.vres")

    def test_dispose_solution_removes_the_sandbox_after_disposing(self, ready, core, folder, temp_root, monkeypatch):
        path = write_model(folder)
        solution = core.solve(path, "Vazer", True)
        sandbox = core._tempDirectory_
        seen = []
        real_rmtree = core.shutil.rmtree

        def rmtree(target):
            seen.append((target, solution.IsDisposed))
            real_rmtree(target)

        monkeypatch.setattr(core, "shutil", types.SimpleNamespace(rmtree=rmtree))
        assert core.disposeSolution() is None
        assert seen == [(sandbox, True)]
        assert core._Solution_ is None and core._tempDirectory_ == sandbox
        assert not os.path.exists(sandbox)


class TestBareFileName:
    """A model named without a folder lives in the current directory."""

    def test_in_place_solve_works_in_the_current_directory(self, ready, core, folder, monkeypatch):
        write_model(folder)
        (folder / "case.thf").write_text("thermal\n")
        monkeypatch.chdir(folder)
        solution = core.solve("pipe.tessel", "Vazer", False)
        assert solution is not None
        assert os.path.isfile(folder / "pipe.vres")
        assert veltrane_sim.read_results(solution.ResultFile)["thf"] == os.path.join(os.curdir, "case.thf")

    def test_sandbox_solve_copies_from_the_current_directory(self, ready, core, folder, temp_root, monkeypatch):
        write_model(folder)
        (folder / "case.thf").write_text("thermal\n")
        monkeypatch.chdir(folder)
        before = snapshot(folder)
        assert core.solve("pipe.tessel", "DiroZiziva", True) is not None
        assert snapshot(folder) == before
        assert "case.thf" in os.listdir(core._tempDirectory_)


# ---------------------------------------------------------------- model functions


class TestModelFunctions:
    @pytest.mark.parametrize("call", [
        lambda c, t: c.solvePipingModel(t, "x.tessel", "Vazer", "."),
        lambda c, t: c.solveStructureModel(t, "x.tessel", "."),
    ], ids=["piping", "structure"])
    def test_missing_tessel(self, ready, core, call):
        with pytest.raises(OSError) as error:
            call(core, None)
        assert str(error.value) == "Invalid tessel."

    def test_wrong_model_kinds(self, ready, core, folder):
        piping = loaded(core, write_model(folder))
        structure = loaded(core, write_model(folder, "frame.tessel", "structure"))
        core._Solution_ = "kept"
        with pytest.raises(OSError) as error:
            core.solvePipingModel(structure, "frame.tessel", "Vazer", str(folder))
        assert str(error.value) == "The tessel is not a piping model."
        with pytest.raises(OSError) as error:
            core.solveStructureModel(piping, "pipe.tessel", str(folder))
        assert str(error.value) == "The tessel is not a structure model."
        assert core._Solution_ == "kept"

    @pytest.mark.parametrize("solvername", ["vazer", "DIROZIZIVA", " Vazer", "", None])
    def test_solver_name_is_matched_exactly(self, ready, core, folder, journal, capsys, solvername):
        tessel = loaded(core, write_model(folder))
        journal.clear()
        previous = Disposable()
        core._Solution_ = previous
        assert core.solvePipingModel(tessel, "pipe.tessel", solvername, str(folder)) is None
        assert capsys.readouterr().out == SOLVER_NAME_MESSAGE + "\n"
        assert core._Solution_ is None and previous.disposed == 0
        assert journal.ops("pythoncom") == []

    @pytest.mark.parametrize(
        "kind, solvername, setting, assemblies",
        [
            ("piping", "Vazer", "_Vazer_", ["Veltrane.SDK.dll", "Veltrane.Helper.dll", "Veltrane.Vazer.Core.dll"]),
            ("piping", "DiroZiziva", "_DiroZiziva_", ["Veltrane.SDK.dll", "Veltrane.DiroZiziva.Core.dll"]),
            ("structure", None, "_Vazer_", ["Veltrane.SDK.dll", "Veltrane.Helper.dll", "Veltrane.Vazer.Core.dll"]),
        ],
    )
    @pytest.mark.parametrize("configured", [True, False], ids=["configured", "unset"])
    def test_solver_assemblies_are_loaded_only_for_a_configured_solver(
        self, ready, core, folder, journal, capsys, kind, solvername, setting, assemblies, configured
    ):
        tessel = loaded(core, write_model(folder, kind=kind))
        if not configured:
            setattr(core, setting, None)
        core._dlls_ = []
        core._Solution_ = "previous"
        capsys.readouterr()
        if kind == "piping":
            result = core.solvePipingModel(tessel, tessel.FileName, solvername, str(folder))
        else:
            result = core.solveStructureModel(tessel, tessel.FileName, str(folder))
        out = capsys.readouterr().out
        if configured:
            assert result is not None and result is core._Solution_
            assert core._dlls_ == ["Veltrane.Tubrolis.Core.dll", *assemblies]
        else:
            assert result is None and core._Solution_ is None
            assert core._dlls_ == ["Veltrane.Tubrolis.Core.dll"]
            assert out == "Veltrane.Tubrolis.Core.dll loaded\n"
            assert journal.ops("pythoncom") == []

    def test_piping_model_solved_directly_only_drops_the_previous_solution(self, ready, core, folder):
        tessel = loaded(core, write_model(folder))
        previous = Disposable()
        core._Solution_ = previous
        solution = core.solvePipingModel(tessel, tessel.FileName, "Vazer", str(folder))
        assert solution is core._Solution_ and not solution.IsDisposed
        assert previous.disposed == 0


# ---------------------------------------------------------------- worker thread


class RecordingThread(threading.Thread):
    """threading.Thread that remembers how it was made and driven."""

    made = []

    def __init__(self, *args, **kwargs):
        super().__init__(*args, **kwargs)
        self.construction = (args, kwargs)
        self.events = []
        RecordingThread.made.append(self)

    def setDaemon(self, daemonic):  # the deprecated spelling must not be used
        self.events.append(("setDaemon", daemonic))
        super().setDaemon(daemonic)

    def start(self):
        self.events.append(("start", self.daemon))
        super().start()

    def join(self, *args, **kwargs):
        self.events.append(("join", args, kwargs))
        super().join(*args, **kwargs)
        self.events.append(("joined", self.is_alive()))


class TestWorkerThread:
    @pytest.mark.parametrize("solvername, worker", [("Vazer", "_VazerSolve"), ("DiroZiziva", "_DiroZizivaSolve")])
    def test_worker_runs_on_a_daemon_thread_joined_without_time_limit(
        self, ready, core, folder, monkeypatch, solvername, worker
    ):
        RecordingThread.made = []
        monkeypatch.setattr(core, "threading", types.SimpleNamespace(Thread=RecordingThread))
        tessel = loaded(core, write_model(folder))
        core.solvePipingModel(tessel, tessel.FileName, solvername, str(folder))
        [thread] = RecordingThread.made
        args, kwargs = thread.construction
        assert args == ()
        assert set(kwargs) == {"target", "args"}
        assert kwargs["target"] is getattr(core, worker)
        assert kwargs["args"] == (tessel, tessel.FileName, str(folder))
        assert type(kwargs["args"]) is tuple
        assert thread.events[0] == ("start", True)
        # Joined in short slices (Ctrl-C is seen between two), until the worker ended.
        joins, returns = thread.events[1::2], thread.events[2::2]
        assert {(name, len(args), kwargs == {}) for name, args, kwargs in joins} == {("join", 1, True)}
        assert all(0 < args[0] <= 0.1 for _, args, _ in joins)
        assert returns == [("joined", True)] * (len(returns) - 1) + [("joined", False)]

    @pytest.mark.parametrize("solvername, worker", [("Vazer", "_VazerSolve"), ("DiroZiziva", "_DiroZizivaSolve")])
    def test_worker_is_looked_up_by_name_and_hands_over_through_the_global(
        self, ready, core, folder, monkeypatch, solvername, worker
    ):
        tessel = loaded(core, write_model(folder))
        handed = object()
        calls = []

        def replacement(t, f, d):
            calls.append((t, f, d, threading.current_thread() is threading.main_thread()))
            core._Solution_ = handed
            return "not used"

        monkeypatch.setattr(core, worker, replacement)
        assert core.solvePipingModel(tessel, "given.tessel", solvername, "workdir") is handed
        assert calls == [(tessel, "given.tessel", "workdir", False)]

    @pytest.mark.parametrize("solvername", ["Vazer", "DiroZiziva"])
    def test_com_is_balanced_on_the_worker_thread(self, ready, core, folder, journal, solvername):
        path = write_model(folder)
        assert core.solve(path, solvername, False) is not None
        caller = threading.get_ident()
        [init] = journal.calls("pythoncom.CoInitialize")
        [uninit] = journal.calls("pythoncom.CoUninitialize")
        assert init.thread == uninit.thread != caller
        solver_ops = [c for c in journal.entries() if c.op.startswith(solvername + "Solver.")]
        assert solver_ops and all(c.thread == init.thread for c in solver_ops)
        assert init.seq < min(c.seq for c in solver_ops) and uninit.seq > max(c.seq for c in solver_ops)
        assert veltrane_sim.com_state().balanced
        # The finished worker is forgotten: kept, a new ident per solve would grow the host.
        assert init.thread not in veltrane_sim.com_state().depths

    def test_vazer_worker_takes_the_setup_culture_not_the_callers(self, ready, core, folder, journal):
        from System.Globalization import CultureInfo
        from System.Threading import Thread

        path = write_model(folder)
        caller_culture = Thread.CurrentThread.CurrentCulture
        Thread.CurrentThread.CurrentCulture = CultureInfo("de-DE")
        core._CultureInfo_ = CultureInfo("fr-FR")
        journal.clear()
        try:
            solution = core.solve(path, "Vazer", False)
            assert Thread.CurrentThread.CurrentCulture.Name == "de-DE"
        finally:
            Thread.CurrentThread.CurrentCulture = caller_culture
        results = veltrane_sim.read_results(solution.ResultFile)
        assert (results["culture"], results["uiCulture"]) == ("fr-FR", "fr-FR")
        [init] = journal.calls("pythoncom.CoInitialize")
        culture_calls = [c for c in journal.calls("Thread.CurrentCulture") + journal.calls("Thread.CurrentUICulture")
                         if c.thread != threading.get_ident()]
        assert len(culture_calls) == 2
        assert all(c.thread == init.thread and c.args == (core._CultureInfo_,) for c in culture_calls)
        assert ("mscorlib",) in [c.args for c in journal.calls("clr.AddReference") if c.thread == init.thread]

    @pytest.mark.parametrize(
        "solvername, failing, text",
        [
            ("Vazer", "VazerSolver.Run", "Simulated failure of VazerSolver.Run."),
            ("DiroZiziva", "DiroZizivaSolver.ctor", "Simulated failure of DiroZizivaSolver.ctor."),
            ("DiroZiziva", "Model.WriteFreFile", "Simulated failure of Model.WriteFreFile."),
        ],
    )
    def test_worker_failure_is_printed_while_the_caller_gets_none(
        self, ready, core, folder, switches, monkeypatch, capsys, solvername, failing, text
    ):
        monkeypatch.setattr(threading, "excepthook", threading.__excepthook__)
        path = write_model(folder)
        switches.fail(failing)
        assert core.solve(path, solvername, False) is None
        assert core._Solution_ is None
        err = capsys.readouterr().err
        assert "Exception in thread" in err
        assert text in err
        assert veltrane_sim.com_state().balanced

    def test_worker_failure_reaches_the_thread_exception_hook(self, ready, core, folder, monkeypatch):
        seen = []
        monkeypatch.setattr(threading, "excepthook", lambda a: seen.append((a.exc_type, a.thread.daemon)))
        tessel = loaded(core, write_model(folder))
        missing = str(folder / "no such folder")
        assert core.solvePipingModel(tessel, tessel.FileName, "Vazer", missing) is None
        assert seen == [(FileNotFoundError, True)]


# ---------------------------------------------------------------- the runs themselves


WORKERS = ["_VazerSolve", "_DiroZizivaSolve"]


@pytest.fixture
def prepared(ready, core, folder):
    """A loaded piping model with the solver assemblies referenced, as the
    dispatch leaves things before it starts a worker."""
    for name in ("Veltrane.SDK.dll", "Veltrane.Helper.dll", "Veltrane.Vazer.Core.dll", "Veltrane.DiroZiziva.Core.dll"):
        core.load_dll(name)
    tessel = loaded(core, write_model(folder))
    return tessel


def in_thread(function, *args):
    """Runs a worker on a fresh thread, as the dispatch does, and returns its
    error, if any."""
    errors = []

    def body():
        try:
            function(*args)
        except BaseException as error:  # noqa: BLE001 - handed back to the test
            errors.append(error)

    thread = threading.Thread(target=body)
    thread.start()
    thread.join()
    return errors[0] if errors else None


class TestRuns:
    @pytest.mark.parametrize("worker", WORKERS)
    def test_a_failed_com_initialisation_skips_the_uninitialisation(
        self, prepared, core, folder, journal, switches, worker
    ):
        core._Solution_ = "previous"
        switches.fail("pythoncom.CoInitialize")
        journal.clear()
        error = in_thread(getattr(core, worker), prepared, prepared.FileName, str(folder))
        assert isinstance(error, veltrane_sim.InvalidOperationException)
        assert core._Solution_ is None
        assert journal.ops() == ["pythoncom.CoInitialize"]

    @pytest.mark.parametrize("worker", WORKERS)
    def test_an_error_inside_the_run_still_uninitialises(self, prepared, core, folder, journal, worker):
        journal.clear()
        error = in_thread(getattr(core, worker), prepared, prepared.FileName, str(folder / "missing"))
        assert isinstance(error, FileNotFoundError)
        assert journal.ops("pythoncom") == ["pythoncom.CoInitialize", "pythoncom.CoUninitialize"]
        assert veltrane_sim.com_state().balanced
        assert core._Solution_ is None

    @pytest.mark.parametrize("worker", WORKERS)
    def test_thf_argument(self, prepared, core, folder, journal, worker):
        op = ("VazerSolver" if worker == "_VazerSolve" else "DiroZizivaSolver") + ".ctor"
        assert in_thread(getattr(core, worker), prepared, prepared.FileName, str(folder)) is None
        assert ctor_args(journal, op)[3] == ""
        (folder / "x.Thf").write_text("thermal\n")
        journal.clear()
        assert in_thread(getattr(core, worker), prepared, prepared.FileName, str(folder)) is None
        assert ctor_args(journal, op)[3] == str(folder / "x.Thf")

    # ---- Vazer

    @pytest.mark.parametrize(
        "build, run, expected_ops, solved",
        [
            (-2, None, ["BuildAnalysisModel", "Dispose"], False),
            (0, None, ["BuildAnalysisModel", "Run"], True),
            (3, 0, ["BuildAnalysisModel", "Run"], True),
            (None, 1, ["BuildAnalysisModel", "Run", "Dispose"], False),
            (None, -7, ["BuildAnalysisModel", "Run", "Dispose"], False),
        ],
    )
    def test_vazer_outcomes(self, prepared, core, folder, journal, switches, build, run, expected_ops, solved):
        switches.vazer_build_result = build
        switches.vazer_run_result = run
        journal.clear()
        assert in_thread(core._VazerSolve, prepared, prepared.FileName, str(folder)) is None
        solver_ops = [op.split(".")[1] for op in journal.ops("VazerSolver.")]
        assert solver_ops == ["ctor", "IgnoreWarnings", *expected_ops]
        assert journal.args("VazerSolver.IgnoreWarnings") == [(True,)]
        assert journal.args("VazerSolver.BuildAnalysisModel") == [(False,)]
        assert ctor_args(journal, "VazerSolver.ctor")[:3] == (core._Vazer_, prepared, prepared.FileName)
        assert ctor_args(journal, "VazerSolver.ctor")[4] is False
        if solved:
            assert journal.args("Solution.ctor")[0][0] is None
            assert core._Solution_ is not None and core._Solution_.Solver.IsDisposed is False
        else:
            assert core._Solution_ is None and journal.count("Solution.ctor") == 0

    # ---- DiroZiziva

    @pytest.mark.parametrize(
        "present, used",
        [
            (["pipe.fre", "conception.fre"], "pipe.fre"),
            (["conception.fre"], "conception.fre"),
            ([], "conception.fre"),
        ],
        ids=["same-named", "conception", "written"],
    )
    def test_diroziziva_input_file(self, prepared, core, folder, journal, monkeypatch, present, used):
        if present:
            core.writeFreFile(prepared, prepared.FileName)  # a valid input: conception.fre
            text = (folder / "conception.fre").read_text()
            os.remove(folder / "conception.fre")
            for name in present:
                (folder / name).write_text(text)
        writes = []
        real_writer = core.writeFreFile

        def writer(tessel, filename):
            writes.append((tessel, filename))
            return real_writer(tessel, filename)

        monkeypatch.setattr(core, "writeFreFile", writer)
        journal.clear()
        assert in_thread(core._DiroZizivaSolve, prepared, prepared.FileName, str(folder)) is None
        assert writes == ([] if present else [(prepared, prepared.FileName)])
        assert ctor_args(journal, "DiroZizivaSolver.ctor")[:3] == (core._DiroZiziva_, prepared, str(folder / used))
        assert core._Solution_ is not None

    @pytest.mark.parametrize(
        "run, no_model, expected_ops, solved",
        [
            (None, False, ["Run", "GetAnalysisModel"], True),
            (1, False, ["Run", "Dispose"], False),
            (11, False, ["Run", "Dispose"], False),
            (0, True, ["Run", "GetAnalysisModel", "Dispose"], False),
        ],
        ids=["solved", "run-1", "run-11", "no-analysis-model"],
    )
    def test_diroziziva_outcomes(self, prepared, core, folder, journal, switches, run, no_model, expected_ops, solved):
        switches.diroziziva_run_result = run
        switches.no_analysis_model = no_model
        journal.clear()
        assert in_thread(core._DiroZizivaSolve, prepared, prepared.FileName, str(folder)) is None
        solver_ops = [op.split(".")[1] for op in journal.ops("DiroZizivaSolver.")]
        assert solver_ops == ["ctor", "IgnoreWarnings", *expected_ops]
        assert journal.args("DiroZizivaSolver.IgnoreWarnings") == [(True,)]
        if solved:
            assert core._Solution_ is not None and journal.args("Solution.ctor")[0][0] is None
        else:
            assert core._Solution_ is None and journal.count("Solution.ctor") == 0
        assert veltrane_sim.open_solutions() == ([core._Solution_] if solved else [])


# ---------------------------------------------------------------- disposeSolution


class TestDisposeSolution:
    def test_second_call_does_nothing(self, ready, core, folder, temp_root, journal, capsys, monkeypatch):
        path = write_model(folder)
        core.solve(path, "Vazer", True)
        journal.clear()
        core.disposeSolution()
        removals = []
        monkeypatch.setattr(core, "shutil", types.SimpleNamespace(rmtree=removals.append))
        assert core.disposeSolution() is None
        assert journal.ops() == ["Solution.Dispose"]
        assert removals == []
        assert "Impossible" not in capsys.readouterr().out

    def test_sandbox_deleted_by_someone_else(self, ready, core, tmp_path, capsys):
        core._tempDirectory_ = str(tmp_path / "gone")
        assert core.disposeSolution() is None
        assert capsys.readouterr().out == ""

    def test_failing_dispose_still_forgets_the_solution(self, ready, core, folder, temp_root):
        broken = Disposable(error=RuntimeError("cannot close"))
        core._Solution_ = broken
        sandbox = temp_root / "left"
        sandbox.mkdir()
        core._tempDirectory_ = str(sandbox)
        with pytest.raises(RuntimeError, match="cannot close"):
            core.disposeSolution()
        assert core._Solution_ is None
        assert broken.disposed == 1
        assert sandbox.exists()  # the exception left before the sandbox step
        assert core.solve(write_model(folder), "Vazer", False) is not None
        assert broken.disposed == 1

    def test_undeletable_sandbox_is_reported(self, ready, core, folder, temp_root, monkeypatch, capsys):
        path = write_model(folder)
        solution = core.solve(path, "Vazer", True)
        sandbox = core._tempDirectory_

        def rmtree(target):
            raise PermissionError(13, "Access is denied", target)

        monkeypatch.setattr(core, "shutil", types.SimpleNamespace(rmtree=rmtree))
        capsys.readouterr()
        assert core.disposeSolution() is None
        expected = f"Impossible to delete temp directory : [Errno 13] Access is denied: {sandbox!r}\n"
        assert capsys.readouterr().out == expected
        assert core._Solution_ is None and solution.IsDisposed
        assert core._tempDirectory_ == sandbox

    def test_interrupt_during_deletion_propagates(self, ready, core, temp_root, monkeypatch):
        core._tempDirectory_ = str(temp_root)

        def rmtree(target):
            raise KeyboardInterrupt

        monkeypatch.setattr(core, "shutil", types.SimpleNamespace(rmtree=rmtree))
        with pytest.raises(KeyboardInterrupt):
            core.disposeSolution()

    @pytest.mark.parametrize("value", ["", None, 0])
    def test_nothing_to_release_works_without_setup(self, core, monkeypatch, capsys, value):
        core._validSetup_ = False
        monkeypatch.setattr(core, "os", None)  # a path test would fail loudly
        core._Solution_ = None
        core._tempDirectory_ = value
        assert core.disposeSolution() is None
        assert capsys.readouterr().out == ""
