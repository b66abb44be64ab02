"""Batch solving on a local pool and on a Dask LocalCluster, against the simulated host.

Worker processes see the simulated host's run switches through the environment:
every solve takes a little time, a model named hang* never ends, one named crash*
ends its process."""

import functools
import json
import os
import signal
import subprocess
import sys
import time

import pytest

import veltrane_sim
from veltrane_computer import batch, cli
from veltrane_computer.batch import BatchError, Job, run_batch
from veltrane_computer.simulated import simulated_installation

SWITCHES = {"VELTRANE_SIM_SOLVE_SECONDS": "0.05", "VELTRANE_SIM_SOLVE_HANG": "hang*",
            "VELTRANE_SIM_SOLVE_CRASH": "crash*"}


@pytest.fixture(scope="module")
def switched():
    with pytest.MonkeyPatch.context() as patch:
        for name, value in SWITCHES.items():
            patch.setenv(name, value)
        yield


@pytest.fixture(scope="module")
def place(tmp_path_factory, switched):
    """A simulated installation and models: ok/alpha, ok/beta, other/alpha, hang_a, hang_b, crash, broken."""
    root = tmp_path_factory.mktemp("batch")
    models = {}
    for folder, stem in [("ok", "alpha"), ("ok", "beta"), ("other", "alpha"), ("bad", "hang_a"), ("bad", "hang_b"),
                         ("bad", "crash")]:
        (root / folder).mkdir(exist_ok=True)
        models[f"{folder}/{stem}"] = veltrane_sim.write_tessel(root / folder / f"{stem}.tessel")
    models["bad/broken"] = root / "bad" / "broken.tessel"
    models["bad/broken"].write_text("not a model", encoding="utf-8")
    return root, simulated_installation(root / "simulated"), models


@pytest.fixture(scope="module")
def client(switched):
    """Two single-threaded worker processes; a task whose worker dies fails at once. The
    cluster waits for a restarted worker as long as it takes to start (longer than its
    default 15 s on a slow machine), rather than closing it with the job it was given."""
    dask = pytest.importorskip("dask")
    distributed = pytest.importorskip("distributed")
    with dask.config.set({"distributed.scheduler.allowed-failures": 0,
                          "distributed.deploy.lost-worker-timeout": "120s"}):
        with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                      dashboard_address=None) as cluster, distributed.Client(cluster) as client:
            yield client


@pytest.fixture(params=["local", "dask"])
def engine(request):
    """run_batch's keyword arguments for each engine."""
    if request.param == "local":
        return {"workers": 2}
    return {"scheduler": request.getfixturevalue("client")}


def statuses(report):
    return {record.name: (record.status, record.attempts) for record in report.records}


def test_jobs_are_solved_into_their_folders_and_a_second_run_skips_them(place, engine, tmp_path):
    root, simulated, models = place
    jobs = [models["ok/alpha"], models["other/alpha"],
            Job(models["ok/beta"], prepare=functools.partial(veltrane_sim.write_tessel, title="prepared")),
            Job(models["ok/beta"], solver="DiroZiziva", name="beta-dz")]
    report = run_batch(jobs, simulated, output_dir=tmp_path, progress=False, **engine)

    assert statuses(report) == {name: ("ok", 1) for name in ["alpha", "alpha-2", "beta", "beta-dz"]}
    for record in report.records:
        assert sorted(path.relative_to(tmp_path).as_posix() for path in (tmp_path / record.name).iterdir()) == sorted(
            record.result_files)
    assert "beta-dz/conception.dres" in report.records[3].result_files
    titles = [veltrane_sim.read_results(tmp_path / name / f"{stem}.vres")["title"]
              for name, stem in [("alpha", "alpha"), ("beta", "beta")]]
    assert titles[1] == "prepared" != titles[0]
    manifest = json.loads((tmp_path / "manifest.json").read_text(encoding="utf-8"))
    assert [(job["name"], job["status"], job["model"]) for job in manifest["jobs"]] == [
        (name, "ok", str(models[key])) for name, key in [("alpha", "ok/alpha"), ("alpha-2", "other/alpha"),
                                                         ("beta", "ok/beta"), ("beta-dz", "ok/beta")]]

    again = run_batch(jobs, simulated, output_dir=tmp_path, progress=False, **engine)
    assert again.skipped == ("alpha", "alpha-2", "beta", "beta-dz") and again.records == report.records
    (tmp_path / "alpha-2" / "alpha.vres").unlink()
    third = run_batch(jobs, simulated, output_dir=tmp_path, progress=False, **engine)
    assert third.skipped == ("alpha", "beta", "beta-dz")
    assert (tmp_path / "alpha-2" / "alpha.vres").is_file()


def test_a_failing_job_a_lost_worker_and_a_time_out_stay_with_their_jobs(place, engine, tmp_path):
    root, simulated, models = place
    retries = 0 if "scheduler" in engine else 1  # a cluster's workers take seconds to restart
    jobs = [models[key] for key in ["bad/crash", "bad/hang_a", "bad/broken", "ok/alpha"]]
    report = run_batch(jobs, simulated, output_dir=tmp_path, timeout=1.5, retries=retries, progress=False, **engine)

    tries = retries + 1
    assert statuses(report) == {"crash": ("worker-lost", tries), "hang_a": ("timed-out", tries),
                                "broken": ("failed", 1), "alpha": ("ok", 1)}
    assert "cannot be read" in report.records[2].error
    manifest = json.loads((tmp_path / "manifest.json").read_text(encoding="utf-8"))
    assert [job["status"] for job in manifest["jobs"]] == ["worker-lost", "timed-out", "failed", "ok"]


@pytest.mark.skipif(sys.platform == "win32", reason="sends SIGINT to a process group")
def test_ctrl_c_stops_the_batch_and_leaves_the_manifest_true(place, tmp_path):
    root, simulated, models = place
    output, scratch = tmp_path / "out", tmp_path / "tmp"
    scratch.mkdir()
    command = [sys.executable, "-m", "veltrane_computer", "--simulated", str(root / "simulated"), "batch",
               *(str(models[key]) for key in ["ok/alpha", "bad/hang_a", "bad/hang_b", "ok/beta"]),
               "--workers", "2", "--output", str(output)]
    child = subprocess.Popen(command, env={**os.environ, "TMPDIR": str(scratch)}, stdout=subprocess.PIPE,
                             stderr=subprocess.PIPE, text=True, start_new_session=True)
    try:
        deadline = time.monotonic() + 60
        while "alpha/alpha.vres" not in _text(output / "manifest.json") and time.monotonic() < deadline:
            time.sleep(0.1)
        time.sleep(0.5)  # hang_b starts on the worker alpha left
        os.killpg(child.pid, signal.SIGINT)  # as a terminal's Ctrl-C: the workers get it too
        _, errors = child.communicate(timeout=60)
    finally:
        child.kill()
    assert child.returncode == 130 and "Traceback" not in errors
    assert "interrupted: 1 ok, 2 cancelled, 1 pending" in errors
    manifest = json.loads((output / "manifest.json").read_text(encoding="utf-8"))
    assert [(job["name"], job["status"]) for job in manifest["jobs"]] == [
        ("alpha", "ok"), ("hang_a", "cancelled"), ("hang_b", "cancelled"), ("beta", "pending")]
    assert not [path.name for path in scratch.iterdir() if path.name.startswith("veltrane-")]


def _text(path):
    try:
        return path.read_text(encoding="utf-8")
    except OSError:
        return ""


@pytest.mark.parametrize("case, message", [
    ("missing model", "no such model"),
    ("unknown solver", "unknown solver 'vazer'"),
    ("unknown job solver", "unknown solver 'Ziziva'"),
    ("output not writable", "cannot be written"),
    ("prepare not picklable", "cannot be sent to a worker"),
    ("no installation", "no installation folder"),
    ("setup fails", "a worker could not be set up: SetupError"),
    ("scheduler unreachable", "cannot reach the Dask scheduler"),
    ("no dask", "veltrane_computer[cluster]"),
])
def test_bad_input_is_refused_before_any_work(place, case, message, tmp_path, monkeypatch):
    root, simulated, models = place
    model = models["ok/alpha"]
    arguments = {"jobs": [model], "installation": simulated, "output_dir": tmp_path / "out"}
    if case == "missing model":
        arguments["jobs"] = [model, root / "ok" / "gamma.tessel"]
    elif case == "unknown solver":
        arguments["solver"] = "vazer"
    elif case == "unknown job solver":
        arguments["jobs"] = [Job(model, solver="Ziziva")]
    elif case == "output not writable":
        arguments["output_dir"] = model / "out"
    elif case == "prepare not picklable":
        arguments["jobs"] = [Job(model, prepare=lambda path: None)]
    elif case == "no installation":
        arguments["installation"] = root / "nowhere"
    elif case == "setup fails":
        arguments["installation"] = simulated._replace(settings=root / "nowhere.settings")
    elif case == "scheduler unreachable":
        pytest.importorskip("distributed")
        monkeypatch.setattr("veltrane_computer._batch_dask.CONNECT_SECONDS", 0.5)
        arguments["scheduler"] = "tcp://127.0.0.1:1"
    else:
        monkeypatch.setitem(sys.modules, "veltrane_computer._batch_dask", None)
        arguments["scheduler"] = "tcp://127.0.0.1:1"
    with pytest.raises(BatchError, match=message.replace("[", r"\[")):
        run_batch(**arguments)
    manifest = json.loads(_text(tmp_path / "out" / batch.MANIFEST) or '{"jobs": []}')
    assert {job["status"] for job in manifest["jobs"]} <= {"pending"}


def test_command_line(place, tmp_path, capsys):
    root, simulated, models = place
    def command(*extra):
        return ["--simulated", str(root / "simulated"), "batch", str(models["ok/alpha"]), str(models["other/alpha"]),
                *extra, "--workers", "1", "--output", str(tmp_path)]

    assert cli.main(command()) == 0
    out, err = capsys.readouterr()
    assert out.splitlines()[1].split()[:3] == ["alpha", "Vazer", "ok"]
    assert "2 jobs: 2 ok" in out and "[2/2] alpha-2: ok" in err

    with pytest.raises(SystemExit) as exit_info:
        cli.main(command(str(root / "ok" / "gamma.tessel")))
    missing = root / "ok" / "gamma.tessel"
    assert exit_info.value.code == 2 and f"error: MODEL '{missing}' does not exist" in capsys.readouterr().err
