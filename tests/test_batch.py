"""Batch solving on the local pool, against the simulated host: results, resume, the output folder,
the manifest journal and the command line.  (tests/test_batch_dask.py: a real Dask cluster;
tests/test_batch_processes.py: killing and interrupting a batch.)

Worker processes see the simulated host's run switches through the environment: every solve takes
a little time, a model named hang* never ends, one named crash* ends its process."""

import dataclasses
import functools
import io
import json
import logging
import os
import re
import shutil
import socket
import subprocess
import sys
from pathlib import Path, PurePosixPath

import pytest

import veltrane_sim
from _batch_helpers import Scale, retitle
from veltrane_computer import cli
from veltrane_computer._results import RECORD
from veltrane_computer.batch import BatchError, Job, JobRecord, _journal, _progress, run_batch
from veltrane_computer.simulated import simulated_installation

SWITCHES = {"VELTRANE_SIM_SOLVE_SECONDS": "0.05", "VELTRANE_SIM_SOLVE_HANG": "hang*",
            "VELTRANE_SIM_SOLVE_CRASH": "crash*"}
pytestmark = pytest.mark.timeout(120)


@pytest.fixture(scope="module")
def switched():
    with pytest.MonkeyPatch.context() as patch:
        for name, value in SWITCHES.items():
            patch.setenv(name, value)
        yield


@pytest.fixture(scope="module")
def simulated(tmp_path_factory, switched):
    return simulated_installation(tmp_path_factory.mktemp("simulated"))


@pytest.fixture
def models(tmp_path):
    """Models of their own folders under tmp_path/work: ok/alpha, ok/beta, other/alpha, bad/hang_a,
    bad/crash, bad/broken, rack/rack (structure)."""
    made = {}
    for key in ["ok/alpha", "ok/beta", "other/alpha", "bad/hang_a", "bad/crash", "rack/rack"]:
        folder, stem = key.split("/")
        (tmp_path / "work" / folder).mkdir(parents=True, exist_ok=True)
        kind = "structure" if folder == "rack" else "piping"
        made[key] = veltrane_sim.write_tessel(tmp_path / "work" / folder / f"{stem}.tessel", kind=kind)
    made["bad/broken"] = tmp_path / "work" / "bad" / "broken.tessel"
    made["bad/broken"].write_text("not a model", encoding="utf-8")
    return made


def batch(jobs, simulated, output, **options):
    return run_batch(jobs, simulated, output_dir=output, progress=False, **{"workers": 2, **options})


def statuses(report):
    return {record.name: (record.status, record.attempts) for record in report.records}


def manifest(output):
    return {job["name"]: job for job in json.loads((output / "manifest.json").read_text(encoding="utf-8"))["jobs"]}


def listing(folder):
    """The files of a folder but the layer's record of what it wrote there."""
    return sorted(path.name for path in folder.iterdir() if path.name != RECORD)


def journal_records(output):
    lines = (output / "manifest.journal").read_text(encoding="utf-8").splitlines()
    return [json.loads(line) for line in lines if '"claimed"' not in line]


def test_jobs_are_solved_into_their_folders_and_a_second_run_skips_them(simulated, models, tmp_path):
    out = tmp_path / "out"
    jobs = [models["ok/alpha"], models["other/alpha"], Job(models["ok/beta"], prepare=functools.partial(
        retitle, title="prepared")), Job(models["ok/beta"], solver="DiroZiziva", name="beta-dz")]
    report = batch(jobs, simulated, out)

    assert statuses(report) == {name: ("ok", 1) for name in ["alpha", "alpha-2", "beta", "beta-dz"]}
    for record in report.records:
        assert [f"{record.name}/{name}" for name in listing(out / record.name)] == sorted(record.result_files)
    assert "beta-dz/conception.dres" in report.records[3].result_files
    assert veltrane_sim.read_results(out / "beta" / "beta.vres")["title"] == "prepared"
    assert [(job["model"], job["status"]) for job in manifest(out).values()] == [
        (str(models[key]), "ok") for key in ["ok/alpha", "other/alpha", "ok/beta", "ok/beta"]]

    again = batch(jobs, simulated, out)
    assert again.skipped == ("alpha", "alpha-2", "beta", "beta-dz") and again.records == report.records
    (out / "alpha-2" / "alpha.vres").unlink()
    third = batch(jobs, simulated, out)
    assert third.skipped == ("alpha", "beta", "beta-dz") and (out / "alpha-2" / "alpha.vres").is_file()


def test_a_failing_job_a_lost_worker_and_a_time_out_stay_with_their_jobs(simulated, models, tmp_path):
    jobs = [models[key] for key in ["bad/crash", "bad/hang_a", "bad/broken", "ok/alpha"]]
    report = batch(jobs, simulated, tmp_path / "out", timeout=1.5, retries=1)
    assert statuses(report) == {"crash": ("worker-lost", 2), "hang_a": ("timed-out", 2), "broken": ("failed", 1),
                                "alpha": ("ok", 1)}
    assert "cannot be read" in report.records[2].error
    assert [job["status"] for job in manifest(tmp_path / "out").values()] == ["worker-lost", "timed-out", "failed",
                                                                              "ok"]
    assert not report.ok and [record.name for record in report.with_status("timed-out")] == ["hang_a"]
    again = batch(jobs, simulated, tmp_path / "out", timeout=1.5)  # running it again resumes what did not succeed
    assert again.skipped == ("alpha",) and statuses(again)["hang_a"] == ("timed-out", 1)


def test_item1_a_folder_the_batch_did_not_make_is_never_emptied(simulated, models, tmp_path):
    work = tmp_path / "work"
    (work / "ok" / "notes.txt").write_text("mine", encoding="utf-8")
    before = sorted(path.relative_to(work) for path in work.rglob("*"))
    with pytest.raises(BatchError, match=f"result folder {re.escape(str(work / 'rack'))} .*holds a model"):
        batch([models["ok/alpha"], models["rack/rack"]], simulated, work)  # Work/*/*.tessel --output Work
    with pytest.raises(BatchError, match=f"result folder {re.escape(str(work / 'ok'))} .*holds a model"):
        batch([models["ok/alpha"], Job(models["other/alpha"], name="ok")], simulated, work)
    assert sorted(path.relative_to(work) for path in work.rglob("*")) == before

    out = tmp_path / "out"
    (out / "alpha").mkdir(parents=True)
    (out / "alpha" / "keep.txt").write_text("mine", encoding="utf-8")
    with pytest.raises(BatchError, match=f"result folder {re.escape(str(out / 'alpha'))} .*no batch wrote"):
        batch([models["ok/alpha"]], simulated, out)
    (out / "alpha" / "keep.txt").unlink()
    assert statuses(batch([models["ok/alpha"]], simulated, out)) == {"alpha": ("ok", 1)}
    (out / "alpha" / "keep.txt").write_text("mine", encoding="utf-8")  # the user's file in the batch's folder
    (out / "alpha" / "alpha.vres").unlink()
    (out / "alpha" / "alpha.vres" / "alpha.vres").mkdir(parents=True)  # in the way of a result file: its copy fails
    report = batch([models["ok/alpha"]], simulated, out)
    assert statuses(report) == {"alpha": ("failed", 1)} and "alpha.vres" in report.records[0].error
    shutil.rmtree(out / "alpha" / "alpha.vres")
    assert statuses(batch([models["ok/alpha"]], simulated, out)) == {"alpha": ("ok", 1)}
    assert listing(out / "alpha") == ["alpha.vres", "keep.txt"]


def test_a_rerun_keeps_what_the_user_changed_and_a_failed_one_the_last_good_results(simulated, models, tmp_path,
                                                                                      monkeypatch):
    out = tmp_path / "out"
    jobs = [models["ok/alpha"], models["ok/beta"]]
    batch([Job(model, solver="DiroZiziva") for model in jobs], simulated, out)
    (out / "alpha" / "conception.dres").write_text("annotated", encoding="utf-8")
    (out / "beta" / "conception.dres").touch()  # the time changed, not the content: still the layer's file
    report = batch(jobs, simulated, out)  # Vazer now
    assert statuses(report) == {"alpha": ("ok", 1), "beta": ("ok", 1)}
    assert listing(out / "alpha") == ["alpha.vres", "conception.dres"] and listing(out / "beta") == ["beta.vres"]
    assert (out / "alpha" / "conception.dres").read_text(encoding="utf-8") == "annotated"
    before = {name: (out / name / f"{name}.vres").read_bytes() for name in ("alpha", "beta")}
    for failure in ("VELTRANE_SIM_SOLVE_FAIL", "VELTRANE_SIM_SOLVE_CRASH"):
        monkeypatch.setenv(failure, "*")
        report = batch(jobs, simulated, out, rerun=True)
        monkeypatch.delenv(failure)
        assert {record.status for record in report.records} == {"failed" if "FAIL" in failure else "worker-lost"}
        assert {name: (out / name / f"{name}.vres").read_bytes() for name in ("alpha", "beta")} == before
        assert listing(out / "alpha") == ["alpha.vres", "conception.dres"] and listing(out / "beta") == ["beta.vres"]
    # The edited file is never written over: a DiroZiziva solve of alpha fails, saying why.
    report = batch([Job(models["ok/alpha"], solver="DiroZiziva")], simulated, out)
    assert statuses(report) == {"alpha": ("failed", 1)}
    assert "(conception.dres): the folder holds" in report.records[0].error
    assert (out / "alpha" / "conception.dres").read_text(encoding="utf-8") == "annotated"


def test_item2_every_record_is_kept_and_one_batch_at_a_time_writes_into_a_folder(simulated, models, tmp_path):
    out = tmp_path / "out"
    batch([models["ok/alpha"]], simulated, out)
    batch([models["ok/beta"], models["other/alpha"]], simulated, out)  # another alpha: another name
    assert {name: job["model"] for name, job in manifest(out).items()} == {
        "alpha": str(models["ok/alpha"]), "beta": str(models["ok/beta"]), "alpha-2": str(models["other/alpha"])}
    settled = [record["name"] for record in journal_records(out)]  # as they settled: the two of the second
    assert settled[0] == "alpha" and sorted(settled[1:]) == ["alpha-2", "beta"]  # batch ran side by side

    holder = subprocess.Popen([sys.executable, "-c", "import time; time.sleep(60)"])
    try:
        lock = {"pid": holder.pid, "host": socket.gethostname(), "started": "2030-01-01T00:00:00"}
        (out / "manifest.lock").write_text(json.dumps(lock), encoding="utf-8")
        with pytest.raises(BatchError, match=f"process {holder.pid} on {lock['host']}, started 2030-01-01"):
            batch([models["ok/beta"]], simulated, out, rerun=True)
    finally:
        holder.kill()
        holder.wait()
    elsewhere = {**lock, "host": "build-07"}  # a process of another host is never judged by local pids
    (out / "manifest.lock").write_text(json.dumps(elsewhere), encoding="utf-8")
    with pytest.raises(BatchError, match=f"process {holder.pid} on build-07"):
        batch([models["ok/beta"]], simulated, out, rerun=True)
    (out / "manifest.lock").write_text(json.dumps(lock), encoding="utf-8")
    report = batch([models["ok/beta"]], simulated, out, rerun=True)  # the holder is gone: its lock is stale
    assert statuses(report) == {"beta": ("ok", 1)} and not (out / "manifest.lock").exists()


def test_item3_in_place_jobs_of_one_folder_never_run_at_the_same_time(simulated, models, tmp_path, monkeypatch):
    monkeypatch.setenv("VELTRANE_SIM_SOLVE_SECONDS", "0.4")
    alpha, beta = models["ok/alpha"], models["ok/beta"]
    report = batch([alpha, beta, models["other/alpha"]], simulated, tmp_path / "out", sandbox=False)
    assert [record.result_files for record in report.records] == [("alpha/alpha.vres",), ("beta/beta.vres",),
                                                                   ("alpha-2/alpha.vres",)]


def test_item4_resume_keys_on_content_and_solves_again_what_did_not_succeed(simulated, models, tmp_path):
    out = tmp_path / "out"
    thermal = models["ok/alpha"].with_suffix(".thf")
    thermal.write_text("t1", encoding="utf-8")
    jobs = [models["ok/alpha"], Job(models["ok/beta"], prepare=functools.partial(retitle, title="one")),
            models["bad/broken"], models["other/alpha"]]
    assert statuses(batch(jobs, simulated, out))["broken"] == ("failed", 1)

    veltrane_sim.write_tessel(models["other/alpha"], title="edited")  # the model
    thermal.write_text("t2", encoding="utf-8")  # an input file beside it
    jobs[1] = Job(models["ok/beta"], prepare=functools.partial(retitle, title="two"))  # the prepare's arguments
    assert batch(jobs, simulated, out).skipped == ()
    jobs[1] = Job(models["ok/beta"], solver="DiroZiziva", prepare=functools.partial(retitle, title="two"))
    assert batch(jobs, simulated, out).skipped == ("alpha", "alpha-2")  # the solver; a failed job again
    assert batch(jobs, simulated, out, rerun=True).skipped == ()


def test_item5_the_record_names_the_solver_that_ran(simulated, models, tmp_path):
    report = batch([Job(models["rack/rack"], solver="DiroZiziva")], simulated, tmp_path / "out")
    record = report.records[0]
    assert (record.status, record.solver, record.requested_solver) == ("ok", "Vazer", "DiroZiziva")
    assert manifest(tmp_path / "out")["rack"]["solver"] == "Vazer"
    again = batch([Job(models["rack/rack"], solver="DiroZiziva")], simulated, tmp_path / "out")
    assert again.skipped == ("rack",)


@pytest.mark.parametrize("damage", ["name is a list", "a folder", "not JSON", "journal line"])
def test_item6_own_file_names_are_never_job_names_and_unreadable_manifests_are_set_aside(
        simulated, models, tmp_path, damage):
    out = tmp_path / "out"
    (tmp_path / "work" / "m").mkdir()
    model = veltrane_sim.write_tessel(tmp_path / "work" / "m" / "manifest.json.tessel")
    assert statuses(batch([model], simulated, out)) == {"manifest.json-2": ("ok", 1)}
    with pytest.raises(BatchError, match="one of the batch's own file names"):
        batch([Job(model, name="manifest.journal")], simulated, out)
    text = (out / "manifest.json").read_text(encoding="utf-8")
    (out / "manifest.journal").unlink()  # the manifest is the only record left
    if damage == "name is a list":
        (out / "manifest.json").write_text(text.replace('"name": "manifest.json-2"', '"name": ["x"]'), "utf-8")
    elif damage == "a folder":
        (out / "manifest.json").unlink()
        (out / "manifest.json").mkdir()
    elif damage == "not JSON":
        (out / "manifest.json").write_text(text[:40], encoding="utf-8")
    else:  # a bad line in the journal, a line cut short at its end
        line = json.dumps(manifest(out)["manifest.json-2"])
        (out / "manifest.journal").write_text(f"{line}\n{{bad\n{line[:30]}", encoding="utf-8")
    report = batch([models["ok/alpha"]], simulated, out)
    assert statuses(report) == {"alpha": ("ok", 1)}
    if damage == "journal line":
        assert report.notes == (
            f"the last line of {out / 'manifest.journal'} was cut short (at a crash, say) and was dropped",
            f"1 line of {out / 'manifest.journal'} could not be read and were left out")
        assert list(manifest(out)) == ["manifest.json-2", "alpha"]
    else:
        aside = [path.name for path in out.iterdir() if path.name.startswith("manifest.json.unreadable-")]
        assert len(aside) == 1 and report.notes[0].endswith(f"set aside as {aside[0]}")
        assert list(manifest(out)) == ["alpha"]


def test_a_journal_that_lost_its_tail_never_sticks_the_batch_folders(simulated, models, tmp_path):
    out = tmp_path / "out"
    jobs = [models["ok/alpha"], models["ok/beta"], models["other/alpha"]]
    batch(jobs[:1], simulated, out)
    batch(jobs, simulated, out, rerun=True)
    whole = (out / "manifest.journal").read_bytes()
    tasks_of = [(name, str(model)) for name, model in zip(["alpha", "beta", "alpha-2"], jobs, strict=True)]
    ends = [index for index, byte in enumerate(whole) if byte == ord("\n")]
    for cut in sorted({*range(0, len(whole), 17), *ends, *(end + 1 for end in ends)}):  # a crash at any byte,
        # and a tail the disk filled with zeros
        for torn in (whole[:cut], whole[:cut] + bytes(len(whole) - cut)):
            (out / "manifest.journal").write_bytes(torn)
            journal = _journal.Journal(out)
            journal.open()
            journal.close()
            assert {name: journal.claimed.get(name) for name, _ in tasks_of} == dict(tasks_of), cut
            assert {name: record.status for name, record in journal.earlier.items()} == dict.fromkeys(
                ["alpha", "beta", "alpha-2"], "ok"), cut
            mended = (out / "manifest.journal").read_bytes()  # whole lines only: what follows is read
            assert all(json.loads(line) for line in mended.splitlines()) and mended.endswith(b"\n"), cut
    (out / "manifest.journal").write_bytes(whole[: len(whole) // 2] + bytes(40))
    report = batch(jobs, simulated, out)
    assert report.skipped == ("alpha", "beta", "alpha-2")
    torn = f"the last line of {out / 'manifest.journal'} was cut short (at a crash, say) and was dropped"
    assert report.notes[0] == torn
    assert "taken from manifest.json" in report.notes[1]
    assert batch(jobs, simulated, out).notes == ()  # the journal is whole again


def test_item7_records_are_appended_and_the_manifest_replaced_whole_every_few_seconds(
        simulated, tmp_path, monkeypatch):
    monkeypatch.setenv("VELTRANE_SIM_SOLVE_SECONDS", "0")
    out = tmp_path / "out"
    folder = tmp_path / "work"
    folder.mkdir()
    models = [veltrane_sim.write_tessel(folder / f"m{index:03}.tessel") for index in range(120)]
    writes = []
    original = _journal.Journal.write_manifest
    monkeypatch.setattr(_journal.Journal, "write_manifest",
                        lambda self, current: writes.append(1) or original(self, current))
    batch(models[:1], simulated, out)
    earlier = (out / "manifest.json").read_text(encoding="utf-8")
    os.link(out / "manifest.json", tmp_path / "earlier.json")  # the file as it was, kept apart
    started = len(writes)
    report = batch(models, simulated, out)
    assert report.ok and len(writes) - started <= 2 + report.seconds / _journal.MANIFEST_SECONDS
    assert (tmp_path / "earlier.json").read_text(encoding="utf-8") == earlier  # replaced, never written in place
    assert not (out / "manifest.json").samefile(tmp_path / "earlier.json")
    assert len(manifest(out)) == 120 and not [path for path in out.iterdir() if path.name.startswith(".manifest-")]
    assert len(journal_records(out)) == 1 + 119


def test_the_log_records_of_the_workers_come_back_with_the_job_name(simulated, models, tmp_path, caplog):
    with caplog.at_level(logging.INFO, logger="veltrane_computer"):
        batch([models["ok/alpha"]], simulated, tmp_path / "out")
    assert f"alpha: solving {models['ok/alpha']} with Vazer in a sandbox" in caplog.messages


@pytest.mark.parametrize("case, message", [
    ("missing model", "no such model"),
    ("unknown solver", "unknown solver 'vazer'"),
    ("unknown job solver", "unknown solver 'Ziziva'"),
    ("output not writable", "cannot be written"),
    ("prepare not picklable", "cannot be sent to a worker"),
    ("prepare not callable", "is 'retitle', not a callable"),
    ("model not a path", "a job's model is a path, not 42"),
    # Windows reports a name too long as a missing file
    ("model name too long", "no such model" if os.name == "nt" else "cannot be read: "),
    ("no installation", "no installation folder"),
    ("setup fails", "a worker could not be set up: SetupError"),
    ("scheduler unreachable", "cannot reach the Dask scheduler"),
    ("no dask", "veltrane_computer[cluster]"),
])
def test_bad_input_is_refused_before_any_work(simulated, models, case, message, tmp_path, monkeypatch):
    model = models["ok/alpha"]
    arguments = {"jobs": [model], "installation": simulated, "output_dir": tmp_path / "out"}
    if case == "missing model":
        arguments["jobs"] = [model, tmp_path / "gamma.tessel"]
    elif case == "unknown solver":
        arguments["solver"] = "vazer"
    elif case == "unknown job solver":
        arguments["jobs"] = [Job(model, solver="Ziziva")]
    elif case == "output not writable":
        arguments["output_dir"] = model / "out"
    elif case == "prepare not picklable":
        arguments["jobs"] = [Job(model, prepare=lambda path: None)]
    elif case == "prepare not callable":
        arguments["jobs"] = [Job(model, prepare="retitle")]
    elif case == "model not a path":
        arguments["jobs"] = [Job(42)]
    elif case == "model name too long":
        arguments["jobs"] = [model.parent / ("x" * 300 + ".tessel")]
    elif case == "no installation":
        arguments["installation"] = tmp_path / "nowhere"
    elif case == "setup fails":
        arguments["installation"] = dataclasses.replace(simulated, settings=tmp_path / "nowhere.settings")
    elif case == "scheduler unreachable":
        pytest.importorskip("distributed")
        monkeypatch.setattr("veltrane_computer.batch._dask.CONNECT_SECONDS", 0.5)
        arguments["scheduler"] = "tcp://127.0.0.1:1"
    else:
        monkeypatch.setitem(sys.modules, "veltrane_computer.batch._dask", None)
        arguments["scheduler"] = "tcp://127.0.0.1:1"
    with pytest.raises(BatchError, match=message.replace("[", r"\[")):
        run_batch(**arguments)
    assert not (tmp_path / "out").exists() or {job["status"] for job in manifest(tmp_path / "out").values()} <= {
        "pending"}
    assert not (tmp_path / "out" / "manifest.lock").exists()


@pytest.mark.parametrize("jobs", ["a string", "a path", "a job"])
def test_a_single_model_is_refused_with_a_hint_to_pass_a_list(simulated, models, tmp_path, jobs):
    model = models["ok/alpha"]
    one = {"a string": str(model), "a path": model, "a job": Job(model)}[jobs]
    with pytest.raises(TypeError, match=r"jobs must be a list of models or Jobs, not one .*pass \[model\]"):
        run_batch(one, simulated, output_dir=tmp_path / "out")
    assert not (tmp_path / "out").exists()


def test_a_script_without_the_main_guard_is_told_so(simulated, models, tmp_path):
    script = tmp_path / "study.py"
    script.write_text("from veltrane_computer.batch import run_batch\n"
                      "from veltrane_computer.simulated import simulated_installation\n"
                      f"run_batch([{str(models['ok/alpha'])!r}], simulated_installation({str(tmp_path / 'sim')!r}),"
                      f" output_dir={str(tmp_path / 'out')!r}, workers=1, progress=False)\n", encoding="utf-8")
    # Its output goes to a file: a pipe that a process the child starts inherits (wine's desktop) would stay open.
    with open(tmp_path / "stderr.txt", "w+", encoding="utf-8") as stderr:
        returncode = subprocess.run([sys.executable, str(script)], stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                    stderr=stderr, timeout=60,
                                    env=dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))).returncode
        stderr.seek(0)
        printed = stderr.read()
    guard = 'call run_batch under `if __name__ == "__main__":`'
    assert returncode == 1 and "another batch" not in printed
    assert printed.endswith(f"veltrane_computer.batch.BatchError: a worker could not be set up: the script runs "
                                 f"run_batch again in each worker process, which imports it: {guard}\n")
    assert listing(tmp_path / "out") == ["manifest.json"]  # no lock left, and no result folder


def test_manifests_before_the_reason_field_are_still_read(simulated, models, tmp_path):
    out = tmp_path / "out"
    report = batch([models["ok/alpha"], models["bad/broken"]], simulated, out)
    assert [(r.status, r.reason) for r in report.records] == [("ok", None), ("failed", "unreadable-model")]
    written = json.loads((out / "manifest.json").read_text(encoding="utf-8"))
    for job in written["jobs"]:  # as a batch of the manifest's version 2 wrote them
        del job["reason"]
    (out / "manifest.journal").unlink()
    (out / "manifest.json").write_text(json.dumps({**written, "version": 2}), encoding="utf-8")
    again = batch([models["ok/alpha"]], simulated, out)
    assert again.skipped == ("alpha",) and again.records == report.records[:1] and again.notes == ()
    assert manifest(out)["broken"]["reason"] == "failed"  # what an older record says: its status


def test_the_documented_one_liners_into_pandas(simulated, models, tmp_path):
    pandas = pytest.importorskip("pandas")
    report = batch([models["ok/alpha"], models["bad/broken"]], simulated, tmp_path / "out")
    frame = pandas.DataFrame(json.loads((tmp_path / "out" / "manifest.json").read_text(encoding="utf-8"))["jobs"])
    assert list(frame["name"]) == ["alpha", "broken"]
    assert list(frame.columns) == list(manifest(tmp_path / "out")["alpha"])
    assert list(pandas.DataFrame(report.records)["status"]) == ["ok", "failed"]


def test_command_line(simulated, models, tmp_path, capsys):
    def command(*extra):
        return ["--simulated", str(simulated.installation.parent), "batch", str(models["ok/alpha"]),
                str(models["other/alpha"]), *extra, "--workers", "1", "--output", str(tmp_path / "out")]

    assert cli.main(command()) == 0
    out, err = capsys.readouterr()
    assert out.splitlines()[1].split()[:3] == ["alpha", "Vazer", "ok"]
    assert "2 jobs: 2 ok" in out and "\n[2/2 ok 2, " in err
    assert cli.main(command()) == 0  # a rerun that skips everything says so
    assert capsys.readouterr().err == "2 jobs of 2 solved by an earlier run, with the same content: skipped (rerun " \
                                      "solves them again)\n"
    assert cli.main(command("--rerun")) == 0 and "[2/2 ok 2, " in capsys.readouterr().err
    assert cli.main(command(str(models["bad/broken"]))) == 1  # a failed job: its reason, as solve gives it
    out, err = capsys.readouterr()
    assert "1 failed" in out and "\nbroken: failed (unreadable-model): SolveError: " in err
    with pytest.raises(SystemExit) as exit_info:
        cli.main(command(str(tmp_path / "gamma.tessel")))
    assert exit_info.value.code == 2 and "gamma.tessel' does not exist" in capsys.readouterr().err


def test_progress_has_a_rate_and_an_estimate_and_keeps_a_log_short_at_scale(monkeypatch):
    now = [0.0]
    monkeypatch.setattr(_progress.time, "perf_counter", lambda: now[0])  # a job settles every 20 ms
    log = io.StringIO()
    records = [JobRecord(f"m{index}", "m.tessel", "Vazer", "ok") for index in range(5000)]
    records[1234] = JobRecord("bad", "bad.tessel", "Vazer", "failed", error="SolveError: no elements",
                              reason="solver-failed")
    with _progress.Progress(len(records), stream=log) as progress:
        for record in records:
            now[0] += 0.02
            progress.advance(record)
    lines = log.getvalue().splitlines()
    assert len(lines) == 11 and lines[2] == "bad: failed (solver-failed): SolveError: no elements"
    assert re.fullmatch(r"\[1000/5000 ok 1000, 20 s so far, 50 jobs/s, about 1 min 20 s left\]", lines[1])
    assert lines[-1].startswith("[5000/5000 failed 1 ok 4999, ") and "left" not in lines[-1]

    class Terminal(io.StringIO):
        def isatty(self):
            return True

    with _progress.Progress(3, stream=Terminal()) as bar:
        for record in records[:2]:
            now[0] += 0.02
            bar.advance(record)
    assert re.search(r"\r\[#{20}\.{10}\] 2/3 ok 2, \d+ s so far, 50 jobs/s, about 0 s left", bar.stream.getvalue())


def test_job_names_are_distinct_and_valid_folder_names_by_windows_rules(simulated, tmp_path):
    jobs = []
    for number, stem in enumerate(["Line", "line", "a", "a ", "a."]):
        (tmp_path / str(number)).mkdir()
        jobs.append(veltrane_sim.write_tessel(tmp_path / str(number) / f"{stem}.tessel"))
    jobs += [Job(jobs[0], name=name) for name in ["CON", "nul.x", "com\u00b9", "x<y", "LPT1", "aux.txt ", 'q"?']]
    report = batch(jobs, simulated, tmp_path / "out", workers=1)
    assert [record.name for record in report.records] == [
        "Line", "line-2", "a", "a-2", "a-3", "CON_", "nul_.x", "com\u00b9_", "x_y", "LPT1_", "aux_.txt", "q__"]
    assert report.ok and sorted(listing(tmp_path / "out"))[:3] == ["CON_", "LPT1_", "Line"]
    for name in ["manifest.json.", "a/b", "a\\b"]:
        with pytest.raises(BatchError, match="own file names|not a plain folder name"):
            batch([Job(jobs[0], name=name)], simulated, tmp_path / "out")


def test_the_content_key_reads_the_input_file_the_core_reads(simulated, tmp_path):
    (tmp_path / "m").mkdir()
    model = veltrane_sim.write_tessel(tmp_path / "m" / "A.tessel")
    (tmp_path / "m" / "a.fre").write_text("one", encoding="utf-8")
    assert batch([model], simulated, tmp_path / "out").ok
    (tmp_path / "m" / "a.fre").write_text("two", encoding="utf-8")
    read_by_the_core = os.path.exists(tmp_path / "m" / "A.fre")  # a disk that ignores case
    assert batch([model], simulated, tmp_path / "out").skipped == (() if read_by_the_core else ("A",))


def test_prepare_keys_are_what_decides_the_result(simulated, models, tmp_path):
    out, alpha = tmp_path / "out", models["ok/alpha"]

    def displacement(prepare):
        report = batch([Job(alpha, prepare=prepare)], simulated, out)
        return report, veltrane_sim.read_results(out / "alpha" / "alpha.vres")["maxDisplacement"]

    _, light = displacement(Scale(1.0).apply)
    report, heavy = displacement(Scale(3.0).apply)  # the same method bound to another value
    assert report.skipped == () and heavy > light
    assert displacement(Scale(3.0).apply)[0].skipped == ("alpha",)
    looped = Scale(2.0)
    looped.me = looped  # a value that holds itself: no stable form
    for _ in range(2):
        report = batch([Job(alpha, prepare=looped.apply)], simulated, out)
        assert report.skipped == () and report.ok
    assert report.notes == ("alpha: solved again, since its prepare callable cannot be keyed: "
                            "a Scale value contains itself",)


KEY_OF_PREPARE = """
import functools, sys
sys.path.insert(0, sys.argv[1])
import prepares
from veltrane_computer.batch._keys import PrepareKeys
print(PrepareKeys().key(functools.partial(prepares.prepare, tags={"a", "b", "c", "d", "e", 1.5, ("f", 2)})))
"""


def test_prepare_keys_hold_across_processes_and_follow_the_code(tmp_path):
    def key(seed):
        # No bytecode cache: an edit of the same size within a second would load the stale one.
        environment = {**os.environ, "PYTHONHASHSEED": str(seed), "PYTHONPATH": os.pathsep.join(sys.path),
                       "PYTHONDONTWRITEBYTECODE": "1"}
        return subprocess.run([sys.executable, "-c", KEY_OF_PREPARE, str(tmp_path)], env=environment, check=True,
                              capture_output=True, text=True).stdout

    module = tmp_path / "prepares.py"
    module.write_text("FACTOR = 2\n\ndef prepare(path, tags):\n    return helper(path) * FACTOR\n\n"
                      "def helper(path):\n    return len(str(path))\n", encoding="utf-8")
    first = key(1)
    assert key(2) == first and len(first.strip()) == 64
    for old, new in [("* FACTOR", "+ FACTOR"), ("FACTOR = 2", "FACTOR = 3"), ("len(str(path))", "len(path)")]:
        module.write_text(module.read_text(encoding="utf-8").replace(old, new), encoding="utf-8")
        assert key(1) != first, new  # the body, a global it reads, a function of its module it calls
        first = key(1)


def _with_default(path, factor=2.0):
    return factor


def _nested(path):
    return [lambda: len(str(path))]


def test_prepare_keys_tell_apart_what_changes_a_prepare_and_nothing_else():
    from veltrane_computer.batch._keys import PrepareKeys, Unkeyable

    def key(prepare):
        return PrepareKeys().key(prepare)

    def bound(value):
        return lambda path: (path, value)

    same = [(functools.partial(retitle, title={"b": 1, "a": [1, (2, 3)]}),
             functools.partial(retitle, title={"a": [1, (2, 3)], "b": 1})),
            (functools.partial(retitle, title=frozenset("abcdef")),
             functools.partial(retitle, title=frozenset("fedcba"))),
            (Scale(2).apply, Scale(2).apply), (bound(b"x"), bound(b"x"))]
    values = [1, 1.0, True, "1", b"1", (1,), [1], {1}, {2}, frozenset({1}), {1: 1}, {1: 2}, {2: 1}, None, 1j,
              Path("1"), PurePosixPath("1"), [[1], 2], [[1, 2]], [{1: 2}, 3], [{1: 2, 3: None}]]
    differ = [functools.partial(retitle, title=value) for value in values]
    differ += [functools.partial(retitle, "t"), functools.partial(retitle, title="t"), retitle, _with_default,
               functools.partial(_with_default, factor=3.0), _nested, Scale(2).apply, Scale(2.5).apply,
               Scale(2).__init__, bound(1), bound(2), functools.partial(print, 1), os.fspath, Scale, "a".upper,
               "b".upper]
    assert all(key(a) == key(b) for a, b in same)
    assert len({key(prepare) for prepare in differ}) == len(differ) and key(None) == ""
    looped, deep = [], []
    looped.append(looped)
    for _ in range(100):
        deep = [deep]
    with socket.socket() as connection:
        for value, reason in [(looped, "a list value contains itself"), (connection, "a socket value has no stable"),
                              (deep, "a list value is nested too deeply")]:
            with pytest.raises(Unkeyable, match=f"^{reason}"):
                key(functools.partial(retitle, title=value))
