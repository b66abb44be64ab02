"""Times batch solving against the simulated host: how throughput grows with workers, and
what the batch machinery costs per job.

    python3 benchmarks/batch.py [--jobs 32] [--seconds 0.5] [--workers 1 2 4] [--no-cluster] [--strict]

Every simulated solve sleeps --seconds (the simulated host's solve-time switch, which the
worker processes read from their environment), so the ideal throughput of w workers is w
times that of one.  Each batch writes into a fresh output folder.

- Scaling: the throughput of the batch (jobs / wall time, worker start included) over
  w times that of one worker; "after start" leaves out one worker's start-up time.
  Goal: at least 0.9 while workers <= cores.
- Per-job overhead: the marginal cost of a job in a one-worker batch over the same job
  solved directly by a Session in this process, ((B_n - B_1) - (D_n - D_1)) / (n - 1) with
  B_k the wall time of a batch of k jobs and D_k that of k direct solves, so that the
  worker's start-up cancels out.  Goal: under 50 ms.
"""

from __future__ import annotations

import argparse
import os
import shutil
import sys
import tempfile
import time
from pathlib import Path

import veltrane_sim
from veltrane_computer.batch import run_batch
from veltrane_computer.simulated import simulated_installation

SCALING_GOAL = 0.9
OVERHEAD_GOAL = 0.050


def direct(models: list[str], installation, output: Path) -> float:
    """Seconds to solve the models one after another with a Session of this process."""
    from veltrane_computer.session import Session

    with Session.open(**installation._asdict()) as session:
        started = time.perf_counter()
        for index, model in enumerate(models):
            session.solve(model, output_dir=output / f"direct-{index}")
        return time.perf_counter() - started


def batch(models: list[str], installation, output: Path, **engine) -> float:
    """Wall seconds of one batch; every job must be solved."""
    shutil.rmtree(output, ignore_errors=True)
    started = time.perf_counter()
    report = run_batch(models, installation, output_dir=output, progress=False, **engine)
    seconds = time.perf_counter() - started
    if not report.ok:
        sys.exit(f"a batch failed: {[(r.name, r.status, r.error) for r in report.records if r.status != 'ok']}")
    return seconds


def cluster_run(models: list[str], installation, output: Path, workers: int) -> float:
    from distributed import Client, LocalCluster

    with LocalCluster(n_workers=workers, threads_per_worker=1, processes=True, dashboard_address=None) as cluster:
        with Client(cluster) as client:
            return batch(models, installation, output, scheduler=client)


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--jobs", type=int, default=32)
    parser.add_argument("--seconds", type=float, default=0.5, help="simulated solve time (default 0.5)")
    parser.add_argument("--workers", type=int, nargs="+", default=[1, 2, 4])
    parser.add_argument("--no-cluster", action="store_true", help="leave out the 2-worker LocalCluster")
    parser.add_argument("--strict", action="store_true", help="exit with status 1 when a goal is missed")
    args = parser.parse_args()
    os.environ["VELTRANE_SIM_SOLVE_SECONDS"] = str(args.seconds)
    cores = os.cpu_count() or 1

    with tempfile.TemporaryDirectory(prefix="veltrane-batch-bench-") as scratch:
        root = Path(scratch)
        installation = simulated_installation(root / "simulated")
        (root / "models").mkdir()
        models = [str(veltrane_sim.write_tessel(root / "models" / f"model_{index:03}.tessel"))
                  for index in range(args.jobs)]

        direct_one = direct(models[:1], installation, root / "direct")
        direct_all = direct(models, installation, root / "direct")
        batch_one = batch(models[:1], installation, root / "out", workers=1)
        walls = {("local pool", workers): batch(models, installation, root / "out", workers=workers)
                 for workers in args.workers}
        if not args.no_cluster:
            walls[("LocalCluster", 2)] = cluster_run(models, installation, root / "out", 2)

    start_up = batch_one - direct_one
    overhead = ((walls[("local pool", 1)] - batch_one) - (direct_all - direct_one)) / (args.jobs - 1)
    single = args.jobs / walls[("local pool", 1)]
    single_after_start = args.jobs / (walls[("local pool", 1)] - start_up)
    missed = overhead >= OVERHEAD_GOAL
    print(f"{args.jobs} jobs of {args.seconds:g} s each; {cores} cores; Python {sys.version.split()[0]}\n")
    print("| engine       | workers | wall s | jobs/s | vs 1 worker | of ideal | of ideal after start | goal |")
    print("|--------------|---------|--------|--------|-------------|----------|----------------------|------|")
    for (engine, workers), wall in walls.items():
        throughput = args.jobs / wall
        of_ideal = throughput / (single * workers)
        after_start = args.jobs / (wall - start_up) / (single_after_start * workers)
        goal = "ok" if of_ideal >= SCALING_GOAL else "MISSED"
        if workers > cores:
            goal = "-"
        missed = missed or goal == "MISSED"
        print(f"| {engine:12} | {workers:7} | {wall:6.2f} | {throughput:6.2f} | {throughput / single:11.2f} "
              f"| {of_ideal:8.2f} | {after_start:20.2f} | {goal:4} |")
    print(f"\ndirect solve in this process: {direct_all / args.jobs * 1000:.1f} ms per job")
    print(f"start-up of a one-worker batch: {start_up * 1000:.0f} ms")
    print(f"per-job overhead of the batch machinery: {overhead * 1000:.1f} ms "
          f"({'ok' if overhead < OVERHEAD_GOAL else 'MISSED'}, goal < {OVERHEAD_GOAL * 1000:.0f} ms)")
    return 1 if args.strict and missed else 0


if __name__ == "__main__":
    sys.exit(main())
