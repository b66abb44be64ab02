"""Results folders: the one mechanism that writes and removes result files, and a stateful test of a folder
across session solves and batch runs (real worker processes) with the user editing it in between."""

import hashlib
import json
import os
import shutil
import subprocess
import sys
import tempfile
from pathlib import Path

import pytest
from hypothesis import HealthCheck, settings
from hypothesis import strategies as st
from hypothesis.stateful import RuleBasedStateMachine, invariant, rule, run_state_machine_as_test

import veltrane_sim
from veltrane_computer import _results
from veltrane_computer._results import RECORD, ResultsError, commit, intact
from veltrane_computer.batch import BatchError, Job, run_batch
from veltrane_computer.session import Session, SolveError
from veltrane_computer.simulated import simulated_installation


def contents(folder):
    """Every entry of a folder (hidden ones too) and what it holds."""
    return {path.name: path.read_bytes() if path.is_file() else "folder" for path in Path(folder).iterdir()}


def sources(folder, **files):
    Path(folder).mkdir(parents=True, exist_ok=True)
    for name, text in files.items():
        Path(folder, name).write_text(text, encoding="utf-8")
    return [Path(folder, name) for name in files]


class FailingReplace:
    """os as _results sees it, whose replace fails at its n-th call (a result file held open by a viewer
    on Windows, or Ctrl-C then: neither can be brought about here at that very moment)."""

    def __init__(self, calls, error):
        self.calls, self.error = calls, error

    def __getattr__(self, name):
        return getattr(os, name)

    def replace(self, source, destination):
        self.calls -= 1
        if self.calls == 0:
            raise self.error
        os.replace(source, destination)


@pytest.mark.parametrize("calls", [1, 2, 3, 4])
@pytest.mark.parametrize("error", [PermissionError(13, "in use"), KeyboardInterrupt()])
def test_a_failed_commit_leaves_the_folder_as_it_was(tmp_path, monkeypatch, calls, error):
    folder = tmp_path / "results"
    commit(folder, sources(tmp_path / "one", **{"a.vres": "1", "b.dres": "1"}))
    (folder / "notes.txt").write_text("mine", encoding="utf-8")
    before = contents(folder)
    monkeypatch.setattr(_results, "os", FailingReplace(calls, error))
    with pytest.raises(ResultsError if isinstance(error, OSError) else KeyboardInterrupt):
        commit(folder, sources(tmp_path / "two", **{"a.vres": "2", "c.fre": "2"}))
    assert contents(folder) == before


def test_only_unchanged_files_of_the_layer_are_replaced_or_removed(tmp_path):
    folder = tmp_path / "results"
    commit(folder, sources(tmp_path / "one", **{"a.vres": "1", "b.dres": "1", "c.fre": "1"}))
    os.utime(folder / "a.vres", ns=(1, 1))  # moved to another disk, say: the content decides
    (folder / "b.dres").write_text("2", encoding="utf-8")  # edited, same size
    assert intact(folder, ["c.fre"]) and not intact(folder, ["a.vres"]) and not intact(folder, ["b.dres"])
    assert commit(folder, []) == ()
    assert contents(folder) == {"b.dres": b"2"}  # no record is left for no files
    with pytest.raises(ResultsError, match=r"\(b.dres\): the folder holds a file of that name"):
        commit(folder, sources(tmp_path / "two", **{"b.dres": "3"}))
    for name in (RECORD, ".veltrane-x", "../up", ""):
        with pytest.raises(ResultsError, match="not a plain file name"):
            commit(folder, {name: tmp_path / "two" / "b.dres"})
    (folder / RECORD).write_text("{not json", encoding="utf-8")  # a record that cannot be read knows nothing
    commit(folder, sources(tmp_path / "three", **{"d.vres": "3"}))
    assert contents(folder) == {"b.dres": b"2", "d.vres": b"3", RECORD: (folder / RECORD).read_bytes()}


def test_what_a_dead_process_left_and_the_state_folder_of_old_are_cleaned(tmp_path, monkeypatch):
    folder = tmp_path / "results"
    commit(folder, sources(tmp_path / "one", **{"a.vres": "1"}))
    gone = subprocess.run([sys.executable, "-c", "import os; print(os.getpid())"], capture_output=True, text=True)
    owner = _results._owner().replace(str(os.getpid()), gone.stdout.strip(), 1)
    (folder / f".veltrane-staging-{owner}-x" / "old").mkdir(parents=True)
    os.replace(folder / "a.vres", folder / f".veltrane-staging-{owner}-x" / "old" / "a.vres")  # killed then
    (folder / f".veltrane-staging-{os.getpid() + 1}-otherhost-x").mkdir()  # another host's: left alone
    # Before records lived with the results, the state folder kept them: the first commit takes one over.
    legacy = tmp_path / "legacy"
    sources(legacy, **{"old.vres": "0", "edited.vres": "0"})
    state = tmp_path / "state"
    monkeypatch.setenv("VELTRANE_STATE_DIR", str(state))
    key = hashlib.sha256(os.fsencode(os.path.realpath(legacy))).hexdigest()[:32]
    stamps = {name: [(legacy / name).stat().st_ino, 1, (legacy / name).stat().st_mtime_ns] for name in ["old.vres"]}
    (state / "results").mkdir(parents=True)
    (state / "results" / f"{key}.json").write_text(json.dumps({"folder": os.path.realpath(legacy), "files": stamps}))
    commit(legacy, [])
    assert sorted(os.listdir(legacy)) == ["edited.vres"] and os.listdir(state / "results") == []
    with pytest.raises(ResultsError, match=r"\(x.vres\): No such file"):  # a failed commit sweeps all the same
        commit(folder, {"x.vres": tmp_path / "missing"})
    assert sorted(os.listdir(folder)) == [RECORD, f".veltrane-staging-{os.getpid() + 1}-otherhost-x", "a.vres"]
    assert intact(folder, ["a.vres"])  # put back, still the layer's
    commit(folder, sources(tmp_path / "two", **{"b.vres": "2"}))
    assert sorted(os.listdir(folder)) == [RECORD, f".veltrane-staging-{os.getpid() + 1}-otherhost-x", "b.vres"]


# ---------------------------------------------------------------- the stateful test

SOLVED = {"Vazer": {"m.vres"}, "DiroZiziva": {"conception.dres", "conception.fre"}}  # what each writes here
OUTCOMES = {"ok": None, "fail": "VELTRANE_SIM_SOLVE_FAIL", "crash": "VELTRANE_SIM_SOLVE_CRASH"}


class ResultsFolder(RuleBasedStateMachine):
    """One model, its batch result folder out/m, which session solves write into too. The model knows
    which files the user left (never removed nor written over) and which the layer wrote."""

    base: Path
    installation = None

    def __init__(self):
        super().__init__()
        self.root = Path(tempfile.mkdtemp(dir=self.base))
        (self.root / "m").mkdir()
        self.title = 0
        self.model = veltrane_sim.write_tessel(self.root / "m" / "m.tessel", title="0")
        self.out = self.root / "out"
        self.folder = self.out / "m"
        self.session = Session.open(self.installation)
        self.user = {}  # name -> what the user left
        self.layer = set()  # the layer's files, unchanged since it wrote them
        self.solved = None  # (solver, title) of the last commit
        self.batch_ok = None  # (solver, title) of the batch's last record, when ok
        self.claimed = False

    def teardown(self):
        self.session.close()
        shutil.rmtree(self.root, ignore_errors=True)

    def held(self):
        return {name: data for name, data in contents(self.folder).items() if name != RECORD} \
            if self.folder.exists() else {}

    def expect(self, before, solver, ok):
        """The folder after a solve: the result and the user's files, or what it held before."""
        if not ok:
            assert self.held() == before
            return
        self.layer = set(SOLVED[solver])
        self.solved = (solver, self.title)
        assert set(self.held()) == self.layer | set(self.user)
        for name in self.layer - {"conception.fre"}:  # from this solve (DiroZiziva's results name no title)
            found = veltrane_sim.read_results(self.folder / name)
            assert (found["solver"], found.get("title", str(self.title))) == (solver, str(self.title))

    @rule(solver=st.sampled_from(list(SOLVED)), via=st.sampled_from(["session"] * 5 + ["batch"]),
          outcome=st.sampled_from(["ok", "ok", "fail", "crash", "ctrl-c"]), moment=st.integers(1, 5))
    def solve(self, solver, via, outcome, moment):
        """A solve that succeeds or fails, by a session (Ctrl-C among the files' moves) or by a batch (a rerun
        when `moment` is odd; a solver that crashes its worker)."""
        if via == "batch":
            self.batch_run(solver, outcome if outcome in OUTCOMES else "ok", rerun=moment % 2 == 1)
        else:
            self.session_solve(solver, "fail" if outcome == "crash" else outcome, moment)

    def session_solve(self, solver, outcome, moment):
        before = self.held()
        replaces = 2 + len(self.layer) + len(SOLVED[solver])  # the record twice, the old files out, the new in
        if outcome == "fail":
            expected = "solver-failed"
        elif SOLVED[solver] & set(self.user):
            expected = "unwritable-output"
        else:
            expected = "interrupted" if outcome == "ctrl-c" and moment <= replaces else "ok"
        original = _results.os
        if outcome == "fail":
            os.environ["VELTRANE_SIM_SOLVE_FAIL"] = "*"
        elif outcome == "ctrl-c":
            _results.os = FailingReplace(moment, KeyboardInterrupt())
        try:
            result = self.session.solve(self.model, solver, output_dir=self.folder)
            found = "ok"
        except SolveError as error:
            found = error.reason
        except KeyboardInterrupt:
            found = "interrupted"
        finally:
            os.environ.pop("VELTRANE_SIM_SOLVE_FAIL", None)
            _results.os = original
        assert found == expected
        self.expect(before, solver, found == "ok")
        if found == "ok":
            assert {path.name for path in result.result_files} == self.layer

    def batch_run(self, solver, outcome, rerun):
        before = self.held()
        refused = not self.claimed and bool(self.held())
        if OUTCOMES[outcome]:
            os.environ[OUTCOMES[outcome]] = "*"
        try:
            report = run_batch([Job(self.model, solver=solver)], self.installation, output_dir=self.out, workers=1,
                               progress=False, rerun=rerun)
        except BatchError as error:
            assert refused and "holds files that no batch wrote" in str(error)
            assert self.held() == before
            return
        finally:
            for variable in OUTCOMES.values():
                os.environ.pop(variable or "-", None)
        assert not refused
        self.claimed = True
        record = report.records[0]
        skipped = not rerun and self.batch_ok == (solver, self.title) and SOLVED[solver] <= self.layer
        assert report.skipped == (("m",) if skipped else ())
        if skipped:
            assert self.held() == before and record.status == "ok"
            return
        conflict = bool(SOLVED[solver] & set(self.user))
        expected = "ok" if outcome == "ok" and not conflict else "worker-lost" if outcome == "crash" else "failed"
        assert record.status == expected, record.error
        self.batch_ok = (solver, self.title) if expected == "ok" else None
        self.expect(before, solver, expected == "ok")
        if expected == "ok":
            assert {path.partition("/")[2] for path in record.result_files} == self.layer

    @rule(name=st.sampled_from(["m.vres", "conception.dres", "conception.fre", "notes.txt"]), delete=st.booleans())
    def user_changes(self, name, delete):
        """The user writes a file of the folder anew (a result or one of their own), or deletes it."""
        path = self.folder / name
        if delete:
            path.unlink(missing_ok=True)
            self.user.pop(name, None)
        else:
            self.folder.mkdir(parents=True, exist_ok=True)
            path.write_text(f"edited {len(self.user)}", encoding="utf-8")
            self.user[name] = path.read_bytes()
        self.layer.discard(name)

    @rule(at=st.floats(0, 1), zeros=st.booleans(), edit=st.booleans())
    def crash_or_edit(self, at, zeros, edit):
        """A crash cuts the journal at a random byte (its tail zero-filled or not); or the model is edited."""
        journal = self.out / "manifest.journal"
        if edit:
            self.title += 1
            veltrane_sim.write_tessel(self.model, title=str(self.title))
        elif journal.is_file():
            data = journal.read_bytes()
            cut = int(len(data) * at)
            journal.write_bytes(data[:cut] + (bytes(len(data) - cut) if zeros else b""))

    @invariant()
    def the_users_files_stay_and_nothing_is_left_in_between(self):
        held = self.held()
        assert {name: held.get(name) for name in self.user} == self.user
        assert set(held) <= self.layer | set(self.user)


@pytest.mark.timeout(300)
def test_a_results_folder_across_solves_batches_and_the_users_edits(tmp_path, monkeypatch):
    """Batch steps run real batches (a worker process each, 0.6 s): about 5 s in all."""
    monkeypatch.setenv("VELTRANE_STATE_DIR", str(tmp_path / "state"))
    ResultsFolder.base = tmp_path
    ResultsFolder.installation = simulated_installation(tmp_path / "simulated")
    run_state_machine_as_test(ResultsFolder, settings=settings(
        max_examples=25, stateful_step_count=10, deadline=None, database=None,
        suppress_health_check=[HealthCheck.too_slow, HealthCheck.filter_too_much]))
    assert not (tmp_path / "state").exists()
