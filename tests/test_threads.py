"""Threads: eight threads drive the module at once against the simulated host
for a few seconds. The module takes no lock of its own and its state is
shared, so what one thread's call leaves in the globals may be replaced by
another's; what must hold is that nothing crashes or hangs, every call comes
back with a result or an ordinary exception, and calls on a thread's own
files give that thread's answers."""

import json
import os
import shutil
import tempfile
import threading
import time
import traceback

import veltrane_sim

THREADS = 8
DURATION = 3.0  # seconds of calls per thread
JOIN_LIMIT = 120.0  # a thread still running by then is stuck


def quiet(*values, **options):
    pass


class Thread:
    """What one thread works on, and what it saw."""

    def __init__(self, core, root, index, settings, expected_paths):
        self.core = core
        self.index = index
        self.folder = os.path.join(root, f"thread{index}")
        os.makedirs(self.folder)
        self.model = veltrane_sim.write_tessel(os.path.join(self.folder, "model.tessel"), "piping")
        self.projects = os.path.join(root, f"projects{index}")
        os.makedirs(self.projects)
        self.project = core.addPipingProject(self.projects, "Plant", "S1", 1920, 1080)
        self.settings = settings
        self.expected_paths = expected_paths
        self.calls = {}
        self.failures = []  # (operation, description): answers that are wrong, or errors that must not happen
        self.errors = []  # (operation, exception): ordinary errors of shared state, checked after
        self.solutions = 0

    def check(self, operation, condition, detail):
        if not condition:
            self.failures.append((operation, detail))

    def round(self):
        """One pass over every operation, each checked against this thread's own files."""
        core = self.core
        self.do("find_first_file", lambda: self.check(
            "find_first_file", core.find_first_file(self.folder, ".tessel") == self.model, "wrong file"))
        self.do("FindSolverPaths", lambda: self.check(
            "FindSolverPaths", core.FindSolverPaths(self.settings) == self.expected_paths, "wrong paths"))
        tessel = self.do("loadTessel", lambda: core.loadTessel(self.model))
        self.check("loadTessel", tessel is not None, "no model")
        if tessel is None:
            return
        self.do("saveTessel", lambda: self.check("saveTessel", core.saveTessel(tessel, self.model) is None, "result"))
        self.do("writeFreFile", lambda: core.writeFreFile(tessel, self.model))
        created = self.do("createPipingTessel", core.createPipingTessel)
        self.check("createPipingTessel", created is not None and [layer.Name for layer in created.Layers] == ["0"],
                   "no layer 0")
        self.do("inspectClass", lambda: self.check(
            "inspectClass", json.loads(core.inspectClass(tessel, False))["Name"] == "Model", "wrong class"))
        self.do("findNameSpaceAndAssembly", lambda: self.check(
            "findNameSpaceAndAssembly",
            core.findNameSpaceAndAssembly("Model") == ("Veltrane.Tubrolis.Core", "Veltrane.Tubrolis.Core.dll"),
            "wrong answer"))
        solution = self.do("solve", lambda: core.solve(self.model, "Vazer", False))
        if solution is not None:
            self.solutions += 1
        command = self.do("createCommand", lambda: core.createCommand("RenumberNodes", tessel))
        if command is not None:
            self.do("executeCommand", lambda: core.executeCommand(command), shared=True)
        copy = self.do("copyDirectoryToTemp", lambda: core.copyDirectoryToTemp(self.folder))
        self.check("copyDirectoryToTemp", bool(copy) and os.path.isfile(os.path.join(copy, "model.tessel")),
                   "no copy")
        if copy:
            shutil.rmtree(copy)
        folder = self.do("addProjectFolder", lambda: core.addProjectFolder(self.projects, "Folder"))
        self.check("addProjectFolder", folder == os.path.join(self.projects, "Folder"), "no folder")
        self.do("removeProjectFolder", lambda: core.removeProjectFolder(folder))
        self.check("removeProjectFolder", not os.path.exists(folder), "folder left")
        study = self.do("addPipingStudy", lambda: core.addPipingStudy(self.project, "S2", 1920, 1080))
        self.check("addPipingStudy", study is not None and study.Name == "S2", "no study")
        self.do("removeStudy", lambda: core.removeStudy(self.project, "S2"))

    def do(self, operation, call, shared=False):
        """Makes one call. An error is a failure unless the operation works on
        state other threads change as well (`shared`); either way it must be an
        ordinary exception carrying the function's frame."""
        self.calls[operation] = self.calls.get(operation, 0) + 1
        try:
            return call()
        except Exception as error:
            names = [frame.name for frame in traceback.extract_tb(error.__traceback__)]
            ordinary = f"veltrane_computer.veltrane_core.{operation}" in names and not isinstance(error, SystemError)
            if shared and ordinary:
                self.errors.append((operation, error))
            else:
                self.failures.append((operation, "".join(traceback.format_exception(error))))
            return None


def test_eight_threads_at_once(ready, core, tmp_path, monkeypatch):
    core.print = quiet
    (tmp_path / "temp").mkdir()
    monkeypatch.setattr(tempfile, "tempdir", str(tmp_path / "temp"))
    worker_errors = []
    monkeypatch.setattr(threading, "excepthook", lambda report: worker_errors.append(report.exc_value))
    for name in ("Veltrane.Vazer.Core.dll", "Veltrane.Helper.dll", "Veltrane.Tubrolis.Project.dll"):
        core.load_dll(name)
    settings = ready.settings()
    expected_paths = core.FindSolverPaths(settings)
    assert expected_paths == (ready.vazer_path, ready.diroziziva_path)
    workers = [Thread(core, str(tmp_path), i, settings, expected_paths) for i in range(THREADS)]

    start = threading.Barrier(THREADS)
    ended = []

    def run(worker):
        start.wait()
        deadline = time.monotonic() + DURATION
        try:
            while time.monotonic() < deadline:
                worker.round()
        except BaseException as error:  # the thread's own code failed: report it, do not lose it
            worker.failures.append(("thread", "".join(traceback.format_exception(error))))
        ended.append(worker.index)

    threads = [threading.Thread(target=run, args=(w,), name=f"stress-{w.index}", daemon=True) for w in workers]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join(JOIN_LIMIT)
    assert [thread.name for thread in threads if thread.is_alive()] == []
    assert sorted(ended) == list(range(THREADS))

    assert [(w.index, failure) for w in workers for failure in w.failures] == []
    assert worker_errors == []
    operations = set(workers[0].calls)
    assert len(operations) == 16
    for worker in workers:
        assert set(worker.calls) == operations
    # Each thread got solutions of its own at least some of the time (another
    # thread's solve may dispose of or replace the current one).
    assert sum(w.solutions for w in workers) > 0
    # Every worker thread left its COM apartment.
    assert veltrane_sim.com_state().balanced
    # The module still works on its own afterwards.
    core.disposeSolution()
    solution = core.solve(workers[0].model, "DiroZiziva", False)
    assert solution is not None and solution.ElementCount > 0
    errors = [(w.index, operation, error) for w in workers for operation, error in w.errors]
    assert all(isinstance(error, veltrane_sim.HostException) for _, _, error in errors), errors


def test_threads_calling_the_solvers_directly(ready, core, tmp_path, monkeypatch):
    """The worker functions run on the callers' own threads as well: each
    enters and leaves COM on its thread and leaves a solution or None."""
    core.print = quiet
    for name in ("Veltrane.Vazer.Core.dll", "Veltrane.DiroZiziva.Core.dll", "Veltrane.Helper.dll"):
        core.load_dll(name)
    folders = []
    for i in range(THREADS):
        folder = tmp_path / f"direct{i}"
        folder.mkdir()
        folders.append(veltrane_sim.write_tessel(str(folder / "model.tessel"), "piping"))
    problems = []

    def run(index):
        model = folders[index]
        worker = core._VazerSolve if index % 2 else core._DiroZizivaSolve
        try:
            tessel = core.loadTessel(model)
            for _ in range(10):
                assert worker(tessel, model, os.path.dirname(model)) is None
        except BaseException as error:
            problems.append("".join(traceback.format_exception(error)))

    threads = [threading.Thread(target=run, args=(i,), daemon=True) for i in range(THREADS)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join(JOIN_LIMIT)
    assert not any(thread.is_alive() for thread in threads)
    assert problems == []
    state = veltrane_sim.com_state()
    assert state.balanced
    assert {thread.ident for thread in threads} <= set(veltrane_sim.journal.threads("pythoncom.CoInitialize"))
    solution = core._Solution_
    assert solution is None or type(solution).__name__ == "Solution"
