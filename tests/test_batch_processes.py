"""A batch's processes when the batch is killed or interrupted: each batch runs in a real
subprocess (tests/_batch_helpers.py), in a session of its own, with a temporary folder of its own."""

import ast
import os
import signal
import subprocess
import sys
import time
from pathlib import Path

import pytest

import veltrane_sim
from veltrane_computer.simulated import simulated_installation

pytestmark = [pytest.mark.skipif(sys.platform == "win32", reason="signals and process groups of POSIX"),
              pytest.mark.timeout(120)]
HELPERS = Path(__file__).with_name("_batch_helpers.py")


@pytest.fixture
def place(tmp_path):
    simulated_installation(tmp_path / "simulated")
    models = []
    for stem in ["alpha", "hang_a", "hang_b", "beta"]:
        (tmp_path / "work" / stem).mkdir(parents=True)
        models.append(str(veltrane_sim.write_tessel(tmp_path / "work" / stem / f"{stem}.tessel")))
    (tmp_path / "tmp").mkdir()
    return tmp_path, models


def start(place, workers=2, models=None, **environment):
    root, all_models = place
    env = {**os.environ, "TMPDIR": str(root / "tmp"), "VELTRANE_SIM_SOLVE_HANG": "hang*",
           "VELTRANE_SIM_SOLVE_SECONDS": "0.05", **environment}
    command = [sys.executable, str(HELPERS), str(root / "out"), str(root / "simulated"), str(workers),
               *(models or all_models)]
    return subprocess.Popen(command, env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                            start_new_session=True)


def session_processes(session):
    """The processes of a session (the batch's, its workers and multiprocessing's helpers)."""
    found = []
    for entry in Path("/proc").iterdir():
        try:
            fields = (entry / "stat").read_text().rpartition(")")[2].split()
        except OSError:
            continue
        if entry.name.isdigit() and int(fields[3]) == session and fields[0] != "Z":
            found.append(int(entry.name))
    return found


def wait_for(condition, seconds=60, poll=0.1):
    deadline = time.monotonic() + seconds
    while not condition():
        if time.monotonic() > deadline:
            return False
        time.sleep(poll)
    return True


def scratch(root):
    return [path.name for path in (root / "tmp").iterdir() if path.name.startswith("veltrane-")]


def journal(root):
    try:
        return (root / "out" / "manifest.journal").read_text(encoding="utf-8")
    except OSError:
        return ""


@pytest.mark.skipif(not Path("/proc/self/stat").exists(), reason="lists processes through /proc")
def test_item13_the_workers_end_with_a_killed_batch_and_leave_no_scratch_folder(place):
    root, models = place
    batch = start(place)
    try:
        assert wait_for(lambda: '"alpha"' in journal(root))  # a worker then solves hang_a, another hang_b
        time.sleep(0.5)
        assert len(session_processes(batch.pid)) >= 3 and scratch(root)
        batch.kill()
        batch.wait()
        assert wait_for(lambda: not session_processes(batch.pid), 20), session_processes(batch.pid)
        assert scratch(root) == []
    finally:
        for pid in session_processes(batch.pid):
            os.kill(pid, signal.SIGKILL)


@pytest.mark.parametrize("moment", ["while the pool starts", "while jobs run"])
def test_item14_ctrl_c_cancels_leaves_the_manifest_true_and_no_scratch_folder(place, moment):
    root, models = place
    starting = moment == "while the pool starts"
    batch = start(place, workers=4 if starting else 2, **({"BATCH_TEST_WORKER_DELAY": "5"} if starting else {}))
    try:
        assert batch.stdout.readline() == "started\n"
        if starting:  # as soon as its first worker's scratch folder is made, while it starts the others
            assert wait_for(lambda: scratch(root), poll=0.002)
        else:
            assert wait_for(lambda: '"alpha"' in journal(root))
            time.sleep(0.5)
        os.killpg(batch.pid, signal.SIGINT)  # as a terminal's Ctrl-C: the workers get it too
        out, errors = batch.communicate(timeout=60)
    finally:
        batch.kill()
    assert batch.returncode == 130 and out.startswith("interrupted"), (out, errors)
    listed, last = out.splitlines()
    statuses = dict(ast.literal_eval(listed.partition(" ")[2]))
    counts = [list(statuses.values()).count(status) for status in ("ok", "cancelled", "pending")]
    assert last == ("veltrane_computer.batch.BatchInterrupted: the batch was interrupted: {} ok, {} cancelled, {} "
                    "pending; run it again to resume (the jobs solved are skipped)".format(*counts))
    if moment == "while the pool starts":
        assert set(statuses.values()) == {"pending"}
    else:
        assert statuses == {"alpha": "ok", "hang_a": "cancelled", "hang_b": "cancelled", "beta": "pending"}
    import json

    written = {job["name"]: job["status"] for job in json.loads((root / "out" / "manifest.json").read_text())["jobs"]}
    assert written == statuses
    assert scratch(root) == [] and not (root / "out" / "manifest.lock").exists()
