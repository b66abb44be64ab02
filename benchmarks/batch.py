"""Times batch solving against the simulated host, each engine beside what a user would write by hand.

    python3 benchmarks/batch.py [--sizes 100 1000 5000] [--slow-jobs 48] [--slow-seconds 0.25]
                                [--no-cluster] [--strict]

Cases: zero-second simulated solves at each size, then --slow-jobs jobs of --slow-seconds each.
Every model is in a folder of its own (Work/Line1/Line1.tessel); each run writes into a fresh
output folder, and includes starting its workers.

- Local pool: run_batch(workers=2) beside its anchor, a bare concurrent.futures.ProcessPoolExecutor
  of 2 spawned processes whose initializer sets the core up once and whose task only solves (in a
  sandbox), copies the result files and disposes of the solution.
  Targets: at 1,000 jobs at most 1.5x the anchor's wall time; ms per job at 5,000 jobs within
  1.2x of ms per job at 100.
- Dask: a 2-worker cluster started from the command line (`dask scheduler`, two `dask worker
  --nthreads 1`, with nannies), run_batch(scheduler="tcp://...") by address beside its anchor:
  client.run(setup), client.map(solve), gather, on the same cluster.
  Targets, as throughput (the anchor's wall time over the batch's): at least 0.5 at 1,000 zero-second
  jobs, and at least 0.95 for the --slow-jobs jobs; both are printed with their anchors, met or missed
  with what was measured (the batch's extra time per job, the load average while the case ran).

The two sides of a case run back to back, as a pair; a case of up to 1,000 jobs runs --repeats pairs,
the side that goes first alternating, and the table gives the median walls and the median of the
pairs' ratios (the machine may be shared: a pair is measured under the same load).  "marginal ms/job"
is the wall time over that of the smallest size, per job added: the cost of a job once the workers run.
"""

from __future__ import annotations

import argparse
import json
import math
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
from collections.abc import Callable
from concurrent.futures import ProcessPoolExecutor
from multiprocessing import get_context
from pathlib import Path

import veltrane_sim
from veltrane_computer.batch import run_batch
from veltrane_computer.simulated import simulated_installation

LOCAL_TARGET = 1.5
FLAT_TARGET = 1.2
# The Dask engine's throughput over its anchor's: zero-second jobs at REPEATED_UP_TO jobs, and the slow jobs.
DASK_ZERO_TARGET = 0.5
DASK_SLOW_TARGET = 0.95
WORKERS = 2
# Cases of up to this many jobs run --repeats pairs.
REPEATED_UP_TO = 1000


# --- the anchors: what a user writes by hand ----------------------------------------------------------------------

def anchor_setup(simulated: str) -> None:
    """Set the core of this process up once, against the simulated installation laid out in `simulated`."""
    installation = simulated_installation(simulated)
    from veltrane_computer import veltrane_core as core

    core._settingsPath_ = os.fspath(installation.settings)
    core._dataSourcesPath_ = os.fspath(installation.data_sources)
    core.setup_veltrane_computer(os.fspath(installation.installation), core.VeltraneModule.Tubrolis)


def anchor_solve(model: str, output: str) -> list[str]:
    """Solve in a sandbox, copy the result files out, dispose of the solution."""
    from veltrane_computer import veltrane_core as core

    core.solve(model, "Vazer", True)
    folder = core._tempDirectory_
    os.makedirs(output, exist_ok=True)
    copied = []
    for name in os.listdir(folder):
        if name.endswith(".vres"):
            shutil.copy2(os.path.join(folder, name), os.path.join(output, name))
            copied.append(name)
    core.disposeSolution()
    if not copied:
        raise RuntimeError(f"{model} was not solved")
    return copied


def solve_seconds(seconds: float) -> None:
    """Set the simulated solve time of this process (a Dask worker reads it from its environment)."""
    os.environ["VELTRANE_SIM_SOLVE_SECONDS"] = str(seconds)


def pool_anchor(models: list[str], simulated: str, output: Path) -> float:
    started = time.perf_counter()
    with ProcessPoolExecutor(WORKERS, mp_context=get_context("spawn"), initializer=anchor_setup,
                             initargs=(simulated,)) as pool:
        outputs = [os.fspath(output / Path(model).stem) for model in models]
        list(pool.map(anchor_solve, models, outputs))
    return time.perf_counter() - started


def dask_anchor(client, models: list[str], simulated: str, output: Path) -> float:
    started = time.perf_counter()
    client.run(anchor_setup, simulated)
    futures = client.map(anchor_solve, models, [os.fspath(output / Path(model).stem) for model in models],
                         pure=False)
    client.gather(futures)
    return time.perf_counter() - started


# --- the batch -----------------------------------------------------------------------------------------------------

def batch(models: list[str], installation, output: Path, **engine) -> float:
    started = time.perf_counter()
    report = run_batch(models, installation, output_dir=output, progress=False, **engine)
    seconds = time.perf_counter() - started
    if not report.ok:
        sys.exit(f"a batch failed: {[(r.name, r.status, r.error) for r in report.records if r.status != 'ok'][:3]}")
    return seconds


class Cluster:
    """`dask scheduler` and two `dask worker --nthreads 1` of this interpreter, on 127.0.0.1."""

    def __init__(self, folder: Path):
        file = folder / "scheduler.json"
        self.processes = [self._start("scheduler", "--host", "127.0.0.1", "--port", "0", "--dashboard-address",
                                      "127.0.0.1:0", "--scheduler-file", str(file))]
        while not file.exists():
            time.sleep(0.1)
        self.address = json.loads(file.read_text())["address"]
        for _ in range(WORKERS):
            self.processes.append(self._start("worker", self.address, "--nthreads", "1", "--host", "127.0.0.1"))

    @staticmethod
    def _start(*arguments: str) -> subprocess.Popen:
        return subprocess.Popen([sys.executable, "-m", "dask", *arguments], stdout=subprocess.DEVNULL,
                                stderr=subprocess.DEVNULL)

    def stop(self) -> None:
        for process in reversed(self.processes):
            process.kill()
            process.wait()


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--sizes", type=int, nargs="+", default=[100, 1000, 5000])
    parser.add_argument("--slow-jobs", type=int, default=48)
    parser.add_argument("--slow-seconds", type=float, default=0.25)
    parser.add_argument("--no-cluster", action="store_true", help="leave out the Dask cluster")
    parser.add_argument("--no-local", action="store_true", help="leave out the local pool")
    parser.add_argument("--repeats", type=int, default=3,
                        help=f"pairs per case of up to {REPEATED_UP_TO:,} jobs (default 3); larger cases run once")
    parser.add_argument("--strict", action="store_true", help="exit with status 1 when a target is missed")
    args = parser.parse_args()
    cases = [(size, 0.0) for size in args.sizes] + ([(args.slow_jobs, args.slow_seconds)] if args.slow_jobs else [])
    # engine, jobs, solve seconds, anchor wall, batch wall (medians), median ratio, pairs
    rows: list[tuple[str, int, float, float, float, float, int]] = []
    loads: dict[tuple[str, int, float], float] = {}  # the load average (1 minute) at the end of each case

    with tempfile.TemporaryDirectory(prefix="veltrane-batch-bench-") as scratch:
        root = Path(scratch)
        installation = simulated_installation(root / "simulated")
        simulated = os.fspath(root / "simulated")
        count = max(size for size, _ in cases)
        models = []
        for index in range(count):
            folder = root / "work" / f"line{index:05}"
            folder.mkdir(parents=True)
            models.append(os.fspath(veltrane_sim.write_tessel(folder / f"line{index:05}.tessel")))

        def output() -> Path:
            path = root / "out"
            shutil.rmtree(path, ignore_errors=True)
            return path

        def measure(engine: str, size: int, seconds: float, anchor: Callable[[], float],
                    ours: Callable[[], float]) -> None:
            """The case's pairs, the side that goes first alternating; the medians and the median ratio."""
            pairs = []
            for repeat in range(args.repeats if size <= REPEATED_UP_TO else 1):
                if repeat % 2:
                    b = ours()
                    pairs.append((anchor(), b))
                else:
                    a = anchor()
                    pairs.append((a, ours()))
            walls = [statistics.median(side) for side in zip(*pairs, strict=True)]
            ratio = statistics.median(b / a for a, b in pairs)
            rows.append((engine, size, seconds, walls[0], walls[1], ratio, len(pairs)))
            loads[engine, size, seconds] = os.getloadavg()[0] if hasattr(os, "getloadavg") else math.nan
            print(f"{engine:16} {size:5} x {seconds:g} s: " + ", ".join(f"{a:.2f} / {b:.2f} s" for a, b in pairs),
                  flush=True)

        for size, seconds in [] if args.no_local else cases:
            os.environ["VELTRANE_SIM_SOLVE_SECONDS"] = str(seconds)
            part = models[:size]
            measure("local pool", size, seconds, lambda part=part: pool_anchor(part, simulated, output()),
                    lambda part=part: batch(part, installation, output(), workers=WORKERS))

        if not args.no_cluster:
            from distributed import Client

            os.environ["VELTRANE_SIM_SOLVE_SECONDS"] = "0"
            cluster = Cluster(root)
            try:
                with Client(cluster.address, timeout=60, set_as_default=False) as client:
                    client.wait_for_workers(WORKERS, timeout=120)
                    for size, seconds in cases:
                        client.run(solve_seconds, seconds)
                        part = models[:size]
                        measure("Dask, by address", size, seconds,
                                lambda part=part: dask_anchor(client, part, simulated, output()),
                                lambda part=part: batch(part, installation, output(), scheduler=cluster.address))
            finally:
                cluster.stop()

    return report(rows, loads, args.strict)


def dask_target(jobs: int, seconds: float) -> float | None:
    """The Dask engine's throughput target for a case, if it has one."""
    if seconds == 0 and jobs == REPEATED_UP_TO:
        return DASK_ZERO_TARGET
    return DASK_SLOW_TARGET if seconds > 0 else None


def report(rows: list[tuple[str, int, float, float, float, float, int]], loads: dict[tuple[str, int, float], float],
           strict: bool) -> int:
    print(f"\n{WORKERS} workers; {os.cpu_count()} cores; Python {sys.version.split()[0]}\n")
    print("| engine           |  jobs | solve s | pairs | anchor s | batch s | anchor ms/job | batch ms/job "
          "| marginal ms/job | batch / anchor | target |")
    print("|------------------|-------|---------|-------|----------|---------|---------------|--------------"
          "|-----------------|----------------|--------|")
    missed = False
    smallest: dict[str, tuple[int, float]] = {}
    for engine, jobs, seconds, anchor, ours, ratio, pairs in rows:
        if seconds == 0 and engine not in smallest:
            smallest[engine] = (jobs, ours)
        first_jobs, first_wall = smallest.get(engine, (jobs, ours))
        marginal = f"{(ours - first_wall) / (jobs - first_jobs) * 1000:.2f}" if seconds == 0 and jobs > first_jobs \
            else "-"
        target = "-"
        if engine == "local pool" and seconds == 0 and jobs == REPEATED_UP_TO:
            target = f"<= {LOCAL_TARGET:g}: {'ok' if ratio <= LOCAL_TARGET else 'MISSED'}"
            missed = missed or ratio > LOCAL_TARGET
        elif engine != "local pool" and dask_target(jobs, seconds) is not None:
            least = dask_target(jobs, seconds) or 0.0
            target = f"throughput >= {least:g}: {'ok' if 1 / ratio >= least else 'MISSED'}"
            missed = missed or 1 / ratio < least
        print(f"| {engine:16} | {jobs:5} | {seconds:7g} | {pairs:5} | {anchor:8.2f} | {ours:7.2f} "
              f"| {anchor / jobs * 1000:13.2f} | {ours / jobs * 1000:12.2f} | {marginal:>15} | {ratio:14.2f} "
              f"| {target} |")
    local = {row[1]: row[4] / row[1] for row in rows if row[0] == "local pool" and row[2] == 0}
    if 100 in local and 5000 in local:
        flat = local[5000] / local[100]
        missed = missed or flat > FLAT_TARGET
        print(f"\nlocal pool, ms per job at 5,000 over ms per job at 100: {flat:.2f} "
              f"({'ok' if flat <= FLAT_TARGET else 'MISSED'}, target <= {FLAT_TARGET:g})")
    dask = [row for row in rows if row[0] != "local pool" and dask_target(row[1], row[2]) is not None]
    if dask:
        print("\nDask targets: the batch's throughput over the anchor's (client.map on the same cluster), "
              "median of the pairs")
    for engine, jobs, seconds, anchor, ours, ratio, _pairs in dask:
        least = dask_target(jobs, seconds) or 0.0
        load = loads.get((engine, jobs, seconds), math.nan)
        verdict = "met" if 1 / ratio >= least else (
            f"MISSED: the batch took {(ours - anchor) / jobs * 1000:.1f} ms more per job than the anchor")
        print(f"  {jobs:5} jobs of {seconds:g} s: anchor {anchor:.2f} s, batch {ours:.2f} s: throughput "
              f"{1 / ratio:.2f}, target >= {least:g}: {verdict} (load average {load:.1f})")
    return 1 if strict and missed else 0


if __name__ == "__main__":
    sys.exit(main())
