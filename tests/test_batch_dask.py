"""Batch solving on a real Dask cluster, as users run one: `dask scheduler` and `dask worker --nthreads 1`
started from the command line on 127.0.0.1 (once with nannies, once with --no-nanny), reached by address
and through a Client; clusters of their own for a worker with two threads, a TLS scheduler with certificates
the test makes, and workers that do not see the client's files (each in a mount namespace of its own, a
private tmpfs over the folder of the models and the output).  A second client's tasks run beside batches.
The processes are ended when the tests are done, also when one fails; each test has a time limit.  The
workers see the simulated host's run switches and this folder (for the prepare callables of _batch_helpers)
through their environment."""

import contextlib
import functools
import json
import logging
import os
import signal
import shutil
import subprocess
import sys
import threading
import time
from pathlib import Path

import pytest

import veltrane_sim
from _batch_helpers import freeze_once, hold, needs, other_work
from veltrane_computer import cli
from veltrane_computer.batch import BatchError, Job, run_batch
from veltrane_computer.simulated import simulated_installation

distributed = pytest.importorskip("distributed")
pytestmark = [pytest.mark.skipif(sys.platform == "win32", reason="freezes workers with SIGSTOP"),
              pytest.mark.timeout(240)]
START_SECONDS = 90


class Cluster:
    """A scheduler and its workers, each a `python -m dask ...` process of this interpreter; `tls` holds the
    files of a TLS cluster's certificates (ca, cert), `hidden` a folder the workers do not see (each starts in
    a mount namespace of its own, a private tmpfs over that folder)."""

    def __init__(self, folder, nanny, threads=1, count=2, tls=None, hidden=None):
        self.folder = folder
        self.nanny = nanny
        self.threads = threads
        self.hidden = hidden
        self.tls = tls
        self.tls_options = ["--tls-ca-file", str(tls["ca"]), "--tls-cert", str(tls["cert"])] if tls else []
        self.tmp = folder / "tmp"
        self.tmp.mkdir(parents=True)
        self.env = {**os.environ, "TMPDIR": str(self.tmp), "VELTRANE_SIM_SOLVE_SECONDS": "0.05",
                    "VELTRANE_SIM_SOLVE_HANG": "hang*",
                    "PYTHONPATH": os.pathsep.join([str(Path(__file__).parent), os.environ.get("PYTHONPATH", "")])}
        self.processes = []
        self.file = folder / "scheduler.json"
        self._start("scheduler", "--host", "127.0.0.1", "--port", "0", "--dashboard-address", "127.0.0.1:0",
                    "--scheduler-file", str(self.file), *(("--protocol", "tls") if tls else ()), *self.tls_options)
        try:
            self.address = wait_for_address(self.file)
            self.workers(count)
        except BaseException:  # none of its processes outlives a cluster that could not start
            self.stop()
            raise

    def _start(self, *arguments, hide=None):
        log = open(self.folder / f"{arguments[0]}-{len(self.processes)}.log", "w")
        command = [sys.executable, "-m", "dask", *arguments]
        if hide is not None:
            command = ["unshare", "--mount", "--propagation", "private", "--", "sh", "-c",
                       'mount -t tmpfs tmpfs "$0" && exec "$@"', str(hide), *command]
        process = subprocess.Popen(command, env=self.env, stdout=log, stderr=subprocess.STDOUT)
        self.processes.append(process)
        return process

    def security(self):
        return distributed.security.Security(tls_ca_file=str(self.tls["ca"]), tls_client_cert=str(self.tls["cert"]),
                                             require_encryption=True) if self.tls else None

    def client(self):
        return distributed.Client(self.address, timeout=30, set_as_default=False, security=self.security())

    def workers(self, count=2):
        """Start workers until the scheduler lists `count` (retired ones are gone for good)."""
        with self.client() as client:
            missing = count - len(client.scheduler_info(n_workers=-1)["workers"])
            for _ in range(missing):
                self._start("worker", self.address, "--nthreads", str(self.threads), "--host", "127.0.0.1",
                            "--death-timeout", "60", *(() if self.nanny else ("--no-nanny",)), *self.tls_options,
                            hide=self.hidden)
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


@contextlib.contextmanager
def own_cluster(folder, **options):
    started = Cluster(folder, nanny=True, **options)
    try:
        yield started
    finally:
        started.stop()


def wait_for_address(file):
    """The address in the scheduler's file, once the scheduler has written it whole."""
    deadline = time.monotonic() + START_SECONDS
    while True:
        try:
            return json.loads(file.read_text())["address"]
        except (OSError, ValueError, KeyError):
            if time.monotonic() > deadline:
                raise
            time.sleep(0.1)


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
    return lay_out(tmp_path, tmp_path / "work")


def lay_out(tmp_path, work):
    """A simulated installation, and models in folders of their own under `work`."""
    models = {}
    for stem in ["alpha", "beta", "gamma", "delta", "hang_a"]:
        (work / stem).mkdir(parents=True)
        models[stem] = veltrane_sim.write_tessel(work / stem / f"{stem}.tessel")
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


def test_item8_a_lost_scheduler_ends_the_batch_with_the_manifest_true(cluster, place, tmp_path, capfd):
    if not cluster.nanny:
        pytest.skip("a cluster of its own, once")
    simulated, models = place
    with own_cluster(tmp_path / "own") as own:
        (tmp_path / "ran").mkdir()
        # alpha is solved at once; beta, which started beside it, is still running when the scheduler goes.
        jobs = [Job(models[name], prepare=functools.partial(hold, seconds=seconds, ran=str(tmp_path / "ran")))
                for name, seconds in [("alpha", 0.2), ("beta", 30), ("gamma", 0.2), ("delta", 0.2)]]
        journal = tmp_path / "out" / "manifest.journal"

        def kill_scheduler():
            wait_for(lambda: journal.exists() and '"name":"alpha"' in journal.read_text())  # alpha recorded
            own.processes[0].kill()

        killer = threading.Thread(target=kill_scheduler, daemon=True)
        killer.start()
        with pytest.raises(BatchError, match=f"the connection to the Dask scheduler {own.address} was lost"):
            run_batch(jobs, simulated, scheduler=own.address, output_dir=tmp_path / "out", progress=False)
        manifest = json.loads((tmp_path / "out" / "manifest.json").read_text())
        found = {job["name"]: (job["status"], job["error"]) for job in manifest["jobs"]}
        assert found["alpha"][0] == "ok" and found["beta"][0] == "cancelled"
        ran = [name for name in found if (tmp_path / "ran" / name).exists()]  # the jobs that started
        assert all(found[name][0] in ("ok", "cancelled") for name in ran)
        assert all(f"scheduler {own.address} was lost" in error for status, error in found.values()
                   if status == "cancelled")
        assert {status for status, _ in found.values()} <= {"ok", "cancelled", "pending"}
        assert "Traceback" not in capfd.readouterr().err


def wait_for(condition, seconds=40):
    deadline = time.monotonic() + seconds
    while not condition():
        if time.monotonic() > deadline:
            return False
        time.sleep(0.2)
    return True


def run_command(*arguments, env=None, seconds=60):
    """`python -m veltrane_computer ARGUMENTS` as a user runs it: its status, standard output and error."""
    done = subprocess.run([sys.executable, "-m", "veltrane_computer", *map(str, arguments)], capture_output=True,
                          text=True, timeout=seconds, env={**os.environ, **(env or {})})
    return done.returncode, done.stdout, done.stderr


@pytest.mark.timeout(120)
def test_issue30_item1_other_clients_work_waits_for_nothing_and_is_never_restarted(cluster, place, tmp_path):
    """Another client's 4-second task on each worker: the batch's jobs (time-out 2 s) wait for a free thread or
    behind it, are never timed out for it, and its tasks finish, each started once, with their files."""
    if not cluster.nanny:
        pytest.skip("the same on either cluster")
    simulated, models = place
    log = tmp_path / "other.log"
    with cluster.client() as other:
        workers = list(other.scheduler_info(n_workers=-1)["workers"])
        futures = [other.submit(other_work, 4, str(log), workers=[address], pure=False) for address in workers]
        assert wait_for(lambda: log.exists() and len(log.read_text().split()) == 2)
        report = run_batch([models[name] for name in ["alpha", "beta", "gamma"]], simulated,
                           scheduler=cluster.address, output_dir=tmp_path / "out", timeout=2, retries=1,
                           progress=False)
        assert statuses(report) == {name: ("ok", 1) for name in ["alpha", "beta", "gamma"]}
        assert [intact for _, intact in other.gather(futures)] == [True, True]
        assert len(log.read_text().split()) == 2  # none started again
        assert list(other.scheduler_info(n_workers=-1)["workers"]) == workers  # none restarted


@pytest.mark.timeout(120)
def test_issue30_item1_2_another_task_beside_the_batch_on_a_worker_with_two_threads(tmp_path):
    """Its temporary folder is its own (not in the batch's scratch folder, which the batch removes), and a
    stuck job of the batch beside it is timed out without restarting the worker under it."""
    simulated, models = lay_out(tmp_path, tmp_path / "work")
    with own_cluster(tmp_path / "two", threads=2, count=1) as two, two.client() as other:
        [(address, worker)] = other.scheduler_info(n_workers=-1)["workers"].items()
        (tmp_path / "ran").mkdir()
        jobs = [Job(models["alpha"], prepare=functools.partial(hold, seconds=1, ran=str(tmp_path / "ran"))),
                models["hang_a"]]
        reports = []
        batch = threading.Thread(target=lambda: reports.append(run_batch(
            jobs, simulated, scheduler=two.address, output_dir=tmp_path / "out", timeout=3, progress=False)))
        batch.start()
        assert wait_for(lambda: (tmp_path / "ran" / "alpha").exists())  # while the batch's job solves
        future = other.submit(other_work, 6, str(tmp_path / "other.log"), pure=False)
        batch.join(60)
        assert statuses(reports[0]) == {"alpha": ("ok", 1), "hang_a": ("timed-out", 1)}
        assert "left running (it runs other work too)" in reports[0].records[1].error
        folder, intact = future.result(timeout=60)
        assert Path(folder).parent == two.tmp and intact
        assert other.scheduler_info(n_workers=-1)["workers"][address]["id"] == worker["id"]  # not restarted


@pytest.fixture(scope="module")
def certificates(tmp_path_factory):
    trustme = pytest.importorskip("trustme")
    folder = tmp_path_factory.mktemp("tls")
    authority = trustme.CA()
    authority.cert_pem.write_to_path(folder / "ca.pem")
    authority.issue_cert("127.0.0.1", "localhost").private_key_and_cert_chain_pem.write_to_path(folder / "node.pem")
    return {"ca": folder / "ca.pem", "cert": folder / "node.pem"}


@pytest.mark.timeout(180)
def test_issue30_item4_a_tls_cluster_from_the_command_line_dask_config_and_python(tmp_path, certificates):
    """Each command is a process of its own, as a user starts it (Dask reads its configuration at import)."""
    simulated, models = lay_out(tmp_path, tmp_path / "work")
    with own_cluster(tmp_path / "tls", count=1, tls=certificates) as secured:
        assert secured.address.startswith("tls://")
        base = ["--simulated", simulated.installation.parent, "batch", "--quiet"]
        started = time.monotonic()
        status, _, err = run_command(*base, models["alpha"], "--scheduler", secured.address, "--output",
                                     tmp_path / "out")
        assert status == 2 and time.monotonic() - started < 20  # at once, not after a connection's time-out
        [line] = err.splitlines()
        assert f"error: the Dask scheduler {secured.address} takes TLS connections only: give its certificates " \
               "(--tls-ca-file, --tls-cert, --tls-key; security= from Python) or set them in Dask's configuration" \
               in line
        status, out, err = run_command(*base, models["alpha"], "--scheduler", secured.address, "--output",
                                       tmp_path / "out", "--tls-ca-file", certificates["ca"], "--tls-cert",
                                       certificates["cert"], "--tls-key", certificates["cert"])
        assert (status, err) == (0, "") and "alpha" in out
        dask_config = {"DASK_DISTRIBUTED__COMM__TLS__CA_FILE": str(certificates["ca"]),
                       "DASK_DISTRIBUTED__COMM__TLS__CLIENT__CERT": str(certificates["cert"])}
        status, out, err = run_command(*base, models["beta"], "--scheduler-file", secured.file, "--output",
                                       tmp_path / "out", env=dask_config)
        assert (status, err) == (0, "") and "beta" in out
        report = run_batch([models["gamma"]], simulated, scheduler=secured.address, security=secured.security(),
                           output_dir=tmp_path / "out", progress=False)
        assert statuses(report) == {"gamma": ("ok", 1)}


def mount_namespaces():
    """Whether this process may start workers in mount namespaces of their own (unshare, as root)."""
    try:
        return shutil.which("unshare") is not None and subprocess.run(
            ["unshare", "--mount", "--", "mount", "-t", "tmpfs", "tmpfs", "/mnt"], capture_output=True,
            timeout=30).returncode == 0
    except (OSError, subprocess.TimeoutExpired):
        return False


@pytest.mark.timeout(180)
@pytest.mark.skipif(not mount_namespaces(), reason="workers that do not see the files need unshare, as root")
def test_issue30_item5_workers_that_do_not_see_the_client_s_files(tmp_path, capsys):
    """Workers in mount namespaces of their own, a private tmpfs over the folder of the models and results."""
    hidden = tmp_path / "hidden"
    simulated, models = lay_out(tmp_path, hidden / "work")
    (hidden / "work" / "alpha" / "loads.thf").write_bytes(os.urandom(3 << 20))  # sent to its worker directly
    out = hidden / "out"
    with own_cluster(tmp_path / "apart", hidden=hidden) as apart:
        jobs = [Job(models["alpha"], prepare=functools.partial(needs, name="loads.thf")), models["beta"],
                models["hang_a"]]
        report = run_batch(jobs, simulated, scheduler=apart.address, output_dir=out, timeout=2, retries=1)
        assert statuses(report) == {"alpha": ("ok", 1), "beta": ("ok", 1), "hang_a": ("timed-out", 2)}
        assert capsys.readouterr().err.count("the batch sends each job's files to the workers") == 1
        assert (out / report.records[1].result_files[0]).is_file()
        again = run_batch(jobs[:2], simulated, scheduler=apart.address, output_dir=out, progress=False)
        assert again.skipped == ("alpha", "beta")
        failing = Job(models["beta"], prepare=functools.partial(needs, name="missing.thf"))
        failed = run_batch([failing], simulated, scheduler=apart.address, output_dir=out, progress=False)
        assert statuses(failed) == {"beta": ("failed", 1)} and "missing.thf" in failed.records[0].error
        assert (out / report.records[1].result_files[0]).is_file()  # a failed job leaves the results it had
        command = ["--simulated", str(simulated.installation.parent), "batch", str(models["gamma"]),
                   "--scheduler", apart.address, "--output", str(out), "--stage-files", "--quiet"]
        assert cli.main(command) == 0 and "gamma" in capsys.readouterr().out
        assert [path.name for path in (out / "gamma").iterdir() if not path.name.startswith(".")]


@pytest.mark.timeout(60)
def test_issue30_cluster_options_that_cannot_be_used_are_refused_with_a_reason(tmp_path):
    simulated, models = lay_out(tmp_path, tmp_path / "work")
    cases = [({"scheduler": 123}, "scheduler must be an address such as 'tcp://host:port' or a distributed.Client"),
             ({"scheduler_file": tmp_path / "no.json"}, f"the scheduler file {tmp_path / 'no.json'} cannot be read"),
             ({"scheduler": "tcp://127.0.0.1:9", "security": "tls"}, "the TLS settings for tcp://127.0.0.1:9 cannot"),
             ({"stage_files": True}, "security and stage_files apply to a Dask cluster: name its scheduler")]
    for options, reason in cases:
        with pytest.raises(BatchError) as caught:
            run_batch([models["alpha"]], simulated, output_dir=tmp_path / "out", progress=False, **options)
        assert str(caught.value).startswith(reason)
