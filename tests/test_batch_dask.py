"""Batch solving on a real Dask cluster, as users run one: `dask scheduler` and two `dask worker
--nthreads 1` started from the command line on 127.0.0.1 (once with nannies, once with --no-nanny),
reached by address and through a Client.  The processes are ended when the module's tests are
done, also when one fails; each test has a time limit.  The workers see the simulated host's run
switches and this folder (for the prepare callables of _batch_helpers) through their environment."""

import functools
import json
import logging
import os
import signal
import subprocess
import sys
import threading
import time
from pathlib import Path

import pytest

import veltrane_sim
from _batch_helpers import freeze_once, hold
from veltrane_computer import cli
from veltrane_computer.batch import BatchError, Job, run_batch
from veltrane_computer.simulated import simulated_installation

distributed = pytest.importorskip("distributed")
pytestmark = [pytest.mark.skipif(sys.platform == "win32", reason="freezes workers with SIGSTOP"),
              pytest.mark.timeout(240)]
START_SECONDS = 90


class Cluster:
    """A scheduler and its workers, each a `python -m dask ...` process of this interpreter."""

    def __init__(self, folder, nanny):
        self.folder = folder
        self.nanny = nanny
        self.tmp = folder / "tmp"
        self.tmp.mkdir(parents=True)
        self.env = {**os.environ, "TMPDIR": str(self.tmp), "VELTRANE_SIM_SOLVE_SECONDS": "0.05",
                    "VELTRANE_SIM_SOLVE_HANG": "hang*",
                    "PYTHONPATH": os.pathsep.join([str(Path(__file__).parent), os.environ.get("PYTHONPATH", "")])}
        self.processes = []
        file = folder / "scheduler.json"
        self._start("scheduler", "--host", "127.0.0.1", "--port", "0", "--dashboard-address", "127.0.0.1:0",
                    "--scheduler-file", str(file))
        deadline = time.monotonic() + START_SECONDS
        while not file.exists() and time.monotonic() < deadline:
            time.sleep(0.1)
        self.address = json.loads(file.read_text())["address"]
        self.workers()

    def _start(self, *arguments):
        log = open(self.folder / f"{arguments[0]}-{len(self.processes)}.log", "w")
        process = subprocess.Popen([sys.executable, "-m", "dask", *arguments], env=self.env, stdout=log,
                                   stderr=subprocess.STDOUT)
        self.processes.append(process)
        return process

    def client(self):
        return distributed.Client(self.address, timeout=30, set_as_default=False)

    def workers(self, count=2):
        """Start workers until the scheduler lists `count` (retired ones are gone for good)."""
        with self.client() as client:
            missing = count - len(client.scheduler_info(n_workers=-1)["workers"])
            for _ in range(missing):
                self._start("worker", self.address, "--nthreads", "1", "--host", "127.0.0.1", "--death-timeout",
                            "60", *(() if self.nanny else ("--no-nanny",)))
            client.wait_for_workers(count, timeout=START_SECONDS)
            return client.scheduler_info(n_workers=-1)["workers"]

    def stop(self):
        for process in reversed(self.processes):
            for pid in [process.pid, *children(process.pid)]:
                try:
                    os.kill(pid, signal.SIGCONT)
                    os.kill(pid, signal.SIGKILL)
                except ProcessLookupError:
                    pass
            process.wait(timeout=30)


def children(pid):
    try:
        return [int(child) for child in Path(f"/proc/{pid}/task/{pid}/children").read_text().split()]
    except OSError:
        return []


@pytest.fixture(scope="module", params=["nanny", "no-nanny"])
def cluster(request, tmp_path_factory):
    started = Cluster(tmp_path_factory.mktemp(f"cluster-{request.param}"), request.param == "nanny")
    try:
        yield started
    finally:
        started.stop()


@pytest.fixture
def place(tmp_path, cluster):
    cluster.workers()  # two workers, whatever earlier tests retired
    models = {}
    for stem in ["alpha", "beta", "gamma", "delta", "hang_a"]:
        (tmp_path / "work" / stem).mkdir(parents=True)
        models[stem] = veltrane_sim.write_tessel(tmp_path / "work" / stem / f"{stem}.tessel")
    return simulated_installation(tmp_path / "simulated"), models


def statuses(report):
    return {record.name: (record.status, record.attempts) for record in report.records}


def scratch_owners(cluster):
    return {path.name.split("-")[2] for path in cluster.tmp.iterdir() if path.name.startswith("veltrane-dask-")}


def test_jobs_are_solved_by_address_through_a_client_and_from_the_command_line(cluster, place, tmp_path, capsys,
                                                                              caplog):
    simulated, models = place
    jobs = [models["alpha"], models["beta"], Job(models["gamma"], solver="DiroZiziva")]
    with caplog.at_level(logging.INFO, logger="veltrane_computer"):
        report = run_batch(jobs, simulated, scheduler=cluster.address, output_dir=tmp_path / "out")
    assert statuses(report) == {"alpha": ("ok", 1), "beta": ("ok", 1), "gamma": ("ok", 1)}
    assert "gamma/conception.dres" in report.records[2].result_files
    assert f"beta: solving {models['beta']} with Vazer in a sandbox" in caplog.messages
    assert "Dask dashboard: http://127.0.0.1:" in capsys.readouterr().err
    assert scratch_owners(cluster) == set()  # each worker's scratch folder is removed when the batch leaves it

    with cluster.client() as client:
        again = run_batch(jobs, simulated, scheduler=client, output_dir=tmp_path / "out", rerun=True, progress=False)
        assert again.ok and client.status == "running"  # the batch leaves the caller's client open
    command = ["--simulated", str(simulated.installation.parent), "batch", str(models["delta"]),
               "--scheduler", cluster.address, "--output", str(tmp_path / "out")]
    assert cli.main(command) == 0 and "delta" in capsys.readouterr().out


def test_item9_11_a_frozen_worker_is_released_its_job_retried_elsewhere_and_its_sandboxes_removed(
        cluster, place, tmp_path):
    simulated, models = place
    marker = tmp_path / "frozen"
    jobs = [Job(models["alpha"], prepare=functools.partial(freeze_once, marker=str(marker))), models["beta"],
            models["gamma"], models["delta"]]
    started = time.monotonic()
    report = run_batch(jobs, simulated, scheduler=cluster.address, output_dir=tmp_path / "out", timeout=3,
                       retries=1, progress=False)
    assert time.monotonic() - started < 60
    assert statuses(report) == {"alpha": ("ok", 2), "beta": ("ok", 1), "gamma": ("ok", 1), "delta": ("ok", 1)}
    frozen, folder = marker.read_text().split(" ", 1)
    assert Path(folder).parent == cluster.tmp and Path(folder).name.startswith(f"veltrane-dask-{frozen}-")
    with cluster.client() as client:
        assert all(worker["id"] for worker in client.scheduler_info(n_workers=-1)["workers"].values())
        if cluster.nanny:  # restarted: the frozen process is gone, and the new one removed its scratch folder
            assert wait_for(lambda: not os.path.exists(f"/proc/{frozen}"))
            assert wait_for(lambda: not os.path.exists(folder))
        else:  # retired: the scheduler no longer lists it
            assert len(client.scheduler_info(n_workers=-1)["workers"]) == 1


def test_item10_a_time_out_on_a_worker_without_nanny_is_recorded_and_the_other_jobs_run(cluster, place, tmp_path):
    simulated, models = place
    jobs = [models[name] for name in ["alpha", "beta", "hang_a", "gamma", "delta"]]  # a job may follow hang_a
    report = run_batch(jobs, simulated, scheduler=cluster.address, output_dir=tmp_path / "out", timeout=2,
                       progress=False)
    assert statuses(report) == {"hang_a": ("timed-out", 1), **{name: ("ok", 1) for name in list(models)[:4]}}
    how = "restarted" if cluster.nanny else "retired"
    assert "not solved within 2 s; its worker tcp://127.0.0.1:" in report.records[2].error
    assert how in report.records[2].error
    manifest = json.loads((tmp_path / "out" / "manifest.json").read_text())
    assert [job["status"] for job in manifest["jobs"]] == ["ok", "ok", "timed-out", "ok", "ok"]


def test_item12_no_more_jobs_on_the_cluster_than_its_threads(cluster, place, tmp_path):
    """A job sent beyond the workers' threads would wait on a worker, its time-out running."""
    if not cluster.nanny:
        pytest.skip("the same on either cluster")
    simulated, models = place
    jobs = [Job(models[name], prepare=functools.partial(hold, seconds=1.5)) for name in list(models)[:4]]
    report = run_batch(jobs, simulated, scheduler=cluster.address, output_dir=tmp_path / "out", timeout=2.7,
                       progress=False)
    assert statuses(report) == {name: ("ok", 1) for name in list(models)[:4]}


def test_item8_a_lost_scheduler_ends_the_batch_with_the_manifest_true(cluster, place, tmp_path):
    if not cluster.nanny:
        pytest.skip("a cluster of its own, once")
    simulated, models = place
    own = Cluster(tmp_path / "own", nanny=True)
    try:
        # alpha is solved at once; beta, which started beside it, is still running when the scheduler goes.
        jobs = [Job(models[name], prepare=functools.partial(hold, seconds=seconds))
                for name, seconds in [("alpha", 0.2), ("beta", 30), ("gamma", 0.2), ("delta", 0.2)]]
        journal = tmp_path / "out" / "manifest.journal"

        def kill_scheduler():
            wait_for(lambda: journal.exists() and '"name":"alpha"' in journal.read_text())  # alpha recorded
            own.processes[0].kill()

        killer = threading.Thread(target=kill_scheduler, daemon=True)
        killer.start()
        with pytest.raises(BatchError, match="the batch stopped"):
            run_batch(jobs, simulated, scheduler=own.address, output_dir=tmp_path / "out", progress=False)
        manifest = json.loads((tmp_path / "out" / "manifest.json").read_text())
        found = [job["status"] for job in manifest["jobs"]]
        assert found[:2] == ["ok", "cancelled"] and set(found[2:]) <= {"ok", "cancelled", "pending"}
    finally:
        own.stop()


def wait_for(condition, seconds=40):
    deadline = time.monotonic() + seconds
    while not condition():
        if time.monotonic() > deadline:
            return False
        time.sleep(0.2)
    return True
