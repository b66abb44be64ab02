"""Prepare callables and a driver script for the batch tests; workers import this module
(the local pool's spawned workers inherit the tests' path; the Dask workers get it in PYTHONPATH)."""

import json
import os
import shutil
import signal
import sys
import tempfile
import time
import traceback
from pathlib import Path

import veltrane_sim

if __name__ == "__mp_main__" and os.environ.get("BATCH_TEST_WORKER_DELAY"):  # a local worker, as it starts
    time.sleep(float(os.environ["BATCH_TEST_WORKER_DELAY"]))


def retitle(path, title):
    """Edit the model copy: a new title."""
    veltrane_sim.write_tessel(path, title=title)


class Scale:
    """A prepare bound to its factor: multiplies the loads of the model copy."""

    def __init__(self, factor):
        self.factor = factor

    def apply(self, path):
        model = veltrane_sim.read_tessel(path)
        for load in model["loads"]:
            load.update({axis: load[axis] * self.factor for axis in ("fx", "fy", "fz")})
        Path(path).write_text(json.dumps(model), encoding="utf-8")


def freeze_once(path, marker):
    """Freeze this worker process (SIGSTOP) the first time only: as a worker that stops answering."""
    marker = Path(marker)
    if not marker.exists():
        marker.write_text(f"{os.getpid()} {Path(path).parent.parent}", encoding="utf-8")  # its scratch folder
        os.kill(os.getpid(), signal.SIGSTOP)


def note_running(path, folder):
    """Leave a file named after this job's start in folder: the moments the jobs ran."""
    Path(folder, f"{time.monotonic():.6f}-{os.getpid()}").write_text(path.name, encoding="utf-8")


def main():
    """python _batch_helpers.py OUTPUT SIMULATED WORKERS MODEL...: run a batch, print what ended it."""
    from veltrane_computer.batch import BatchInterrupted, run_batch
    from veltrane_computer.simulated import simulated_installation

    output, simulated, workers, *models = sys.argv[1:]
    installation = simulated_installation(simulated)
    print("started", flush=True)
    try:
        report = run_batch(models, installation, output_dir=output, workers=int(workers), progress=False)
    except BatchInterrupted as interrupted:
        print("interrupted", [(r.name, r.status) for r in interrupted.report.records], flush=True)
        print(traceback.format_exception_only(interrupted)[-1], end="", flush=True)  # what a traceback ends with
        return 130
    print("finished", [(r.name, r.status) for r in report.records], flush=True)
    return 0


def other_work(seconds, log):
    """Another client's task: note its start in `log`, keep a file in a temporary folder of its own for
    `seconds`; answer the folder and whether the file was still there."""
    with open(log, "a", encoding="utf-8") as stream:
        stream.write(f"{os.getpid()}\n")
    folder = tempfile.mkdtemp()
    mine = Path(folder, "mine")
    mine.write_text("mine", encoding="utf-8")
    time.sleep(seconds)
    intact = mine.is_file() and mine.read_text(encoding="utf-8") == "mine"
    shutil.rmtree(folder, ignore_errors=True)
    return folder, intact


def needs(path, name):
    """Fail unless the input file `name` came beside the model's copy."""
    if not Path(path).with_name(name).is_file():
        raise FileNotFoundError(f"{name} did not come with {path.name}")


def hold(path, seconds, ran=None):
    """Take `seconds` longer over the job; a file named after the job in folder `ran` says it started."""
    if ran is not None:
        Path(ran, path.stem).touch()
    time.sleep(seconds)


if __name__ == "__main__":
    sys.exit(main())
