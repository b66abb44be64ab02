"""Faults found by attacking the module as a hostile caller and as bad luck
would: a thread ended at exit, an interrupted solve, links, failing host
calls and copies, fork, a failing setup, exceptions chained onto
themselves, path objects."""

import contextlib
import os
import shutil
import signal
import subprocess
import sys
import textwrap
import threading
import types
from pathlib import Path

import pytest
from _catalog import GUARD_MESSAGE

import veltrane_sim
from veltrane_sim import _tessel

needs_links = pytest.mark.skipif(not hasattr(os, "symlink") or os.name == "nt", reason="links need POSIX here")


def run_script(tmp_path, body):
    """Runs `body` in a child interpreter set up against a simulated installation."""
    prologue = f"""
        import os, signal, sys, threading, time
        import veltrane_sim
        veltrane_sim.activate(force=True)
        from veltrane_computer import veltrane_core as core
        installation = veltrane_sim.make_installation({str(tmp_path / "installation")!r})
        installation.bind(core)
        core.setup_veltrane_computer(installation.directory, core.VeltraneModule.Tubrolis)
        model = veltrane_sim.write_tessel({str(tmp_path / "model.tessel")!r}, "piping")
    """
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
    script = textwrap.dedent(prologue) + textwrap.dedent(body)
    return subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, env=env, timeout=60)


@contextlib.contextmanager
def interrupted_after(seconds, taken_by_main_thread=True):
    """A KeyboardInterrupt in the main thread after `seconds`, as Ctrl-C gives
    it; the signal's handler runs on the main thread or, as where a runtime
    that handles signals itself passes them on, on another one."""
    def interrupt(*_):
        raise KeyboardInterrupt

    def deliver():
        taker = threading.main_thread().ident if taken_by_main_thread else threading.get_ident()
        signal.pthread_kill(taker, signal.SIGUSR1)

    previous = signal.signal(signal.SIGUSR1, interrupt)
    timer = threading.Timer(seconds, deliver)
    timer.start()
    try:
        with pytest.raises(KeyboardInterrupt):
            yield
    finally:
        timer.cancel()
        timer.join()
        signal.signal(signal.SIGUSR1, previous)


@pytest.mark.skipif(not hasattr(signal, "SIGTERM") or os.name == "nt", reason="POSIX signals")
# The sanitizer run's debug build has pybind11 assert the GIL at every release
# of a reference, and a thread the runtime ends unwinds without it.
@pytest.mark.skipif("libasan" in os.environ.get("LD_PRELOAD", ""), reason="debug build asserts the GIL")
def test_a_module_call_on_a_daemon_thread_survives_the_exit(tmp_path):
    """SIGTERM's handler calls sys.exit while a daemon thread is inside
    disposeSolution; the thread wakes while the interpreter finalises (a slow
    flush of standard output) and is ended by the runtime, whose forced unwind
    must pass the module's frames."""
    result = run_script(tmp_path, """
        entered = threading.Event()

        class SlowSolution:
            def Dispose(self):
                entered.set()
                time.sleep(0.5)

        class SlowFlush:
            def write(self, text):
                return len(text)

            def flush(self):
                if sys.is_finalizing():
                    time.sleep(1.0)

        core._Solution_ = SlowSolution()
        threading.Thread(target=core.disposeSolution, daemon=True).start()
        entered.wait()
        sys.stdout = SlowFlush()
        signal.signal(signal.SIGTERM, lambda *_: sys.exit(3))
        os.kill(os.getpid(), signal.SIGTERM)
        time.sleep(10)
    """)
    assert (result.returncode, "FATAL" in result.stderr) == (3, False), result.stderr


@pytest.mark.skipif(not hasattr(signal, "pthread_kill"), reason="needs pthread_kill")
class TestInterruptedSolve:
    @pytest.mark.parametrize("then", ["solve", "disposeSolution"])
    def test_abandoned_run_is_waited_for_and_disposed_never_current(self, core, ready, tmp_path, switches, journal,
                                                                   then):
        model = veltrane_sim.write_tessel(str(tmp_path / "model.tessel"), "piping")
        switches.solve_seconds = 0.6
        with interrupted_after(0.2):
            core.solve(model, "Vazer", False)
        assert core._Solution_ is None
        switches.solve_seconds = 0
        if then == "solve":  # a model that cannot be solved
            (tmp_path / "empty").mkdir()
            empty = veltrane_sim.write_tessel(str(tmp_path / "empty" / "empty.tessel"), "piping", empty_model=True)
            assert core.solve(empty, "Vazer", False) is None
        else:
            assert core.disposeSolution() is None
        # The abandoned run ended first; its solution was disposed, never current.
        assert (journal.count("Solution.ctor"), journal.count("Solution.Dispose")) == (1, 1)
        assert core._Solution_ is None
        assert core.solve(model, "Vazer", False) is core._Solution_ is not None  # and solving goes on

    def test_a_signal_taken_by_another_thread_ends_the_wait_before_the_run(self, core, ready, tmp_path, switches,
                                                                            journal):
        model = veltrane_sim.write_tessel(str(tmp_path / "model.tessel"), "piping")
        switches.solver_delay = 1.0
        with interrupted_after(0.2, taken_by_main_thread=False):
            core.solve(model, "Vazer", False)
        assert (core._Solution_, journal.count("Solution.ctor")) == (None, 0)  # the run still goes on
        assert core.disposeSolution() is None
        assert (journal.count("Solution.ctor"), journal.count("Solution.Dispose")) == (1, 1)

    def test_a_run_still_going_at_exit_is_waited_for(self, tmp_path):
        result = run_script(tmp_path, """
            veltrane_sim.switches.solve_seconds = 1.0
            threading.Timer(0.3, signal.pthread_kill, (threading.main_thread().ident, signal.SIGINT)).start()
            try:
                core.solve(model, "Vazer", False)
            except KeyboardInterrupt:
                print("interrupted")
        """)
        lines = result.stdout.splitlines()
        assert (result.returncode, lines[lines.index("interrupted"):]) == (
            0, ["interrupted", "Waiting for the interrupted solve to end."]), result.stderr
        assert os.path.isfile(tmp_path / "model.vres")  # the run went to its end


@needs_links
@pytest.mark.parametrize("remover", ["removeProjectFolder", "removeProject"])
def test_the_folder_removed_is_the_one_the_path_names(core, ready, tmp_path, remover):
    keep, elsewhere = tmp_path / "keep", tmp_path / "elsewhere"
    (elsewhere / "target").mkdir(parents=True)
    keep.mkdir()
    (keep / "file.txt").write_text("keep")
    os.symlink(elsewhere / "target", keep / "link")
    getattr(core, remover)(str(keep / "link"))  # the link itself goes, not what it leads to
    assert not os.path.lexists(keep / "link") and (elsewhere / "target").is_dir()
    os.symlink(elsewhere / "target", keep / "link")
    os.chdir(keep)
    getattr(core, remover)(os.path.join("link", ".."))  # the system's "..": elsewhere
    assert not elsewhere.exists() and (keep / "file.txt").read_text() == "keep"


@pytest.mark.parametrize("worker, operation", [
    ("_VazerSolve", "VazerSolver.IgnoreWarnings"), ("_VazerSolve", "VazerSolver.BuildAnalysisModel"),
    ("_VazerSolve", "VazerSolver.Run"), ("_VazerSolve", "Solution.ctor"),
    ("_DiroZizivaSolve", "DiroZizivaSolver.IgnoreWarnings"), ("_DiroZizivaSolve", "DiroZizivaSolver.Run"),
    ("_DiroZizivaSolve", "DiroZizivaSolver.GetAnalysisModel"), ("_DiroZizivaSolve", "Solution.ctor"),
])
def test_a_solver_is_disposed_when_a_later_host_call_fails(core, ready, tmp_path, switches, journal, worker,
                                                           operation):
    model = veltrane_sim.write_tessel(str(tmp_path / "model.tessel"), "piping")
    for dll in ["Veltrane.SDK.dll", "Veltrane.Helper.dll", "Veltrane.Vazer.Core.dll", "Veltrane.DiroZiziva.Core.dll"]:
        core.load_dll(dll)
    switches.fail(operation)
    with pytest.raises(Exception, match="Simulated failure"):
        getattr(core, worker)(core.loadTessel(model), model, str(tmp_path))
    solver = worker.strip("_").replace("Solve", "Solver")
    assert journal.count(f"{solver}.Dispose") == 1 and core._Solution_ is None


class TestSandboxCopies:
    def test_a_sandbox_whose_copy_fails_is_removed_by_the_next_solve(self, core, ready, tmp_path):
        model = veltrane_sim.write_tessel(str(tmp_path / "model.tessel"), "piping")

        def copy(source, destination):
            raise OSError(28, "No space left on device")

        core.shutil = types.SimpleNamespace(copy=copy, rmtree=shutil.rmtree)
        with pytest.raises(OSError, match="No space"):
            core.solve(model, "Vazer", True)
        sandbox = core._tempDirectory_
        assert os.path.isdir(sandbox)
        core.shutil = shutil
        core.disposeSolution()
        assert not os.path.exists(sandbox)

    def test_an_interrupted_copy_leaves_nothing(self, core, tmp_path):
        made = []

        def copytree(source, destination, **options):
            os.makedirs(os.path.join(destination, "partial"))
            made.append(destination)
            raise KeyboardInterrupt

        core.shutil = types.SimpleNamespace(copytree=copytree, rmtree=shutil.rmtree)
        with pytest.raises(KeyboardInterrupt):
            core.copyDirectoryToTemp(str(tmp_path))
        assert len(made) == 1 and not os.path.exists(made[0])

    @needs_links
    def test_links_leading_back_into_the_tree_are_not_followed(self, core, tmp_path):
        (tmp_path / "tree" / "sub").mkdir(parents=True)
        (tmp_path / "tree" / "sub" / "file.txt").write_text("x")
        (tmp_path / "outside").mkdir()
        (tmp_path / "outside" / "other.txt").write_text("y")
        for link, target in [("self1", "."), ("self2", "."), ("again", "sub"), ("sub/up", ".."),
                             ("out", "../outside")]:
            os.symlink(target, tmp_path / "tree" / link)
        os.symlink("../tree", tmp_path / "outside" / "back")
        copy = core.copyDirectoryToTemp(str(tmp_path / "tree"))
        try:
            found = sorted(os.path.relpath(os.path.join(top, name), copy)
                           for top, folders, files in os.walk(copy) for name in folders + files)
        finally:
            shutil.rmtree(copy, ignore_errors=True)
        assert found == ["out", os.path.join("out", "other.txt"), "sub", os.path.join("sub", "file.txt")]


@pytest.mark.skipif(not hasattr(os, "fork"), reason="needs fork")
# The child only inspects the module and exits; the threads earlier tests left behind do not run in it.
@pytest.mark.filterwarnings("ignore:This process .* is multi-threaded:DeprecationWarning")
def test_a_forked_child_forgets_the_parents_solution_and_sandbox(core, ready, tmp_path):
    model = veltrane_sim.write_tessel(str(tmp_path / "model.tessel"), "piping")
    solution = core.solve(model, "Vazer", True)
    sandbox = core._tempDirectory_
    pid = os.fork()
    if pid == 0:  # the child: its state is its own, and its first solve starts clean
        forgot = core._Solution_ is None and core._tempDirectory_ is None
        core.disposeSolution()
        os._exit(0 if forgot else 1)
    _, status = os.waitpid(pid, 0)
    assert os.waitstatus_to_exitcode(status) == 0
    assert os.path.isdir(sandbox) and core._Solution_ is solution and not solution.IsDisposed


@pytest.mark.parametrize("break_it", ["corrupt settings", "missing directory"])
def test_a_failing_setup_closes_the_guard(core, ready, tmp_path, break_it):
    if break_it == "corrupt settings":
        Path(core._settingsPath_).write_text("{ not json")
        directory, error = ready.directory, ValueError
    else:
        directory, error = str(tmp_path / "missing"), FileNotFoundError
    with pytest.raises(error):
        core.setup_veltrane_computer(directory, core.VeltraneModule.Tubrolis)
    assert core._validSetup_ is False
    with pytest.raises(OSError) as refused:
        core.getTessel(str(tmp_path))
    assert refused.value.args == (GUARD_MESSAGE,)


@pytest.mark.parametrize("shape", ["same object", "cycle"])
def test_an_exception_is_never_its_own_context(core, shape):
    """The run and its clean-up (CoUninitialize) raise the same exception, or
    the clean-up raises the context of the run's exception."""
    same = RuntimeError("same")
    run_error = same if shape == "same object" else RuntimeError("run")
    if shape == "cycle":
        run_error.__context__ = same

    def raise_(error):
        def raiser(*_):
            raise error
        return raiser

    core.find_first_file = raise_(run_error)
    core.pythoncom = types.SimpleNamespace(CoInitialize=lambda: None, CoUninitialize=raise_(same))
    with pytest.raises(RuntimeError) as raised:
        core._VazerSolve(None, "model.tessel", "directory")
    seen, error = [], raised.value
    while error is not None and len(seen) < 5:
        seen.append(error)
        error = error.__context__
    assert seen == ([same] if shape == "same object" else [same, run_error])


@pytest.mark.parametrize("sandbox", [False, True])
def test_path_objects_reach_the_host_as_text(core, ready, tmp_path, sandbox):
    model = tmp_path / "model.tessel"
    veltrane_sim.write_tessel(str(model), "piping")
    tessel = core.loadTessel(model)
    assert tessel is not None
    copy = tmp_path / "copy" / "copy.tessel"
    copy.parent.mkdir()
    assert core.saveTessel(tessel, copy) is None
    assert sorted(os.listdir(copy.parent)) == ["conception.fre", "copy.tessel"]
    assert core.solve(model, "Vazer", sandbox) is not None


def test_a_failing_model_write_leaves_the_model_file(tmp_path):
    path = str(tmp_path / "model.tessel")
    veltrane_sim.write_tessel(path, "piping")
    before = Path(path).read_text()
    with pytest.raises(TypeError):
        _tessel.dump({"title": "T", "broken": object()}, path)  # fails half-way through
    assert Path(path).read_text() == before and os.listdir(tmp_path) == ["model.tessel"]

