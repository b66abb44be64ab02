"""A parametric study: variants of a model under heavier and heavier loads, solved in parallel.

Each variant is the model with its loads scaled by a factor, saved in a folder
of its own; run_batch solves them in worker processes and the script prints a
table. Then it changes one variant and runs the batch again: only that one is
solved, the others' results are still good.

With no argument the script lays out a simulated installation and its sample
models in a temporary folder, so it runs anywhere; --workdir DIR keeps
everything in DIR (run the script again: the batch solves only the variants
that changed since their last solve). On Windows, with the application:

    python examples/parametric_study.py --installation "C:\\Program Files\\Veltrane\\Tubrolis 20XX.Y" \\
        --model D:\\Work\\Plant\\Line1.tessel --workdir D:\\Work\\Line1-study

The model passed in is only read: the variants are saved under the work folder.
--scheduler tcp://HOST:PORT solves on a Dask cluster instead, whose workers see
the work folder under the same path (pip install "veltrane_computer[cluster]").
"""

from __future__ import annotations

import argparse
import shutil
import sys
import tempfile
from collections.abc import Sequence
from pathlib import Path

from veltrane_computer.batch import BatchReport, run_batch
from veltrane_computer.session import Session
from veltrane_computer.simulated import SimulatedInstallation

FACTORS = (1.0, 1.5, 2.0, 3.0)


def parse_arguments(argv: Sequence[str] | None) -> argparse.Namespace:
    parser = argparse.ArgumentParser(description=(__doc__ or "").split("\n\n")[0])
    parser.add_argument("--installation", help="installation directory of the application (default: simulated)")
    parser.add_argument("--model", help="the model to make variants of (default: the simulated host's piping sample)")
    parser.add_argument("--workdir", help="folder for the variants and results, kept afterwards (default: temporary)")
    parser.add_argument("--workers", type=int, help="local worker processes (default 2)")
    parser.add_argument("--scheduler", help="solve on the Dask cluster of this scheduler (tcp://host:port), "
                        "whose workers see the work folder under the same path")
    args = parser.parse_args(argv)
    if args.installation and not args.model:
        parser.error("--model is required with --installation")
    if args.scheduler and args.workers:
        parser.error("--workers is for the local pool: the cluster's workers are its own")
    return args


def make_variant(session: Session, model: Path, factor: float, path: Path) -> Path:
    """The model with its loads scaled by factor, saved as path (over an earlier variant there)."""
    variant = session.open_model(model)
    variant.run("ScaleLoads", Factor=factor)
    return variant.save(path)


def make_variants(session: Session, model: Path, factors: Sequence[float], folder: Path) -> dict[str, float]:
    """Each factor's variant of the model, saved as folder/<variant>/<variant>.tessel; answers their factors."""
    variants = {}
    for index, factor in enumerate(factors, start=1):
        name = f"{model.stem}-{index:02}"
        make_variant(session, model, factor, folder / name / f"{name}.tessel")
        variants[name] = factor
    return variants


def largest_displacements(report: BatchReport, simulated: bool) -> dict[str, str]:
    """Each solved job's largest displacement, read from its result file. The simulated solvers write
    their results as JSON; an application's result files are read with its own tools."""
    if not simulated:
        return {}
    import veltrane_sim

    found = {}
    for record in report.with_status("ok"):
        for result_file in record.result_files:  # relative to the output folder
            results = veltrane_sim.read_results(report.output_dir / result_file)
            found[record.name] = f"{results['maxDisplacement']:.3f}"
    return found


def print_table(report: BatchReport, factors: dict[str, float], simulated: bool) -> None:
    displacements = largest_displacements(report, simulated)
    header = ("variant", "factor", "status", "seconds", "max displacement (mm)", "result files")
    rows = [header]
    for record in report.records:
        solved = "skipped, unchanged" if record.name in report.skipped else record.status
        rows.append((record.name, f"{factors[record.name]:g}", solved, f"{record.seconds:.2f}",
                     displacements.get(record.name, "-"), ", ".join(record.result_files) or record.error))
    widths = [max(len(row[column]) for row in rows) for column in range(len(header))]
    for row in rows:
        print("  ".join(cell.ljust(width) for cell, width in zip(row, widths, strict=True)).rstrip())


def study(session: Session, installation: str | SimulatedInstallation, model: Path, workdir: Path,
          workers: int | None, scheduler: str | None) -> int:
    simulated = isinstance(installation, SimulatedInstallation)
    folder = workdir / "variants"
    factors = make_variants(session, model, FACTORS, folder)
    models = [folder / name / f"{name}.tessel" for name in factors]
    results = workdir / "results"

    print(f"Solving {len(models)} variants of {model.name}:")
    report = run_batch(models, installation, output_dir=results, workers=workers, scheduler=scheduler)
    print_table(report, factors, simulated)

    # One variant changes: its loads are scaled by 1.75 instead. The batch solves it alone.
    changed = models[1]
    factors[changed.stem] = 1.75
    make_variant(session, model, factors[changed.stem], changed)
    print(f"\nAfter changing {changed.stem} (factor {factors[changed.stem]:g}):")
    report = run_batch(models, installation, output_dir=results, workers=workers, scheduler=scheduler)
    print_table(report, factors, simulated)
    solved = [record.name for record in report.records if record.name not in report.skipped]
    print(f"solved again: {', '.join(solved) or 'none'}; kept: {', '.join(report.skipped) or 'none'}")
    print(f"manifest: {report.manifest}")
    return 0 if report.ok else 1


def main(argv: Sequence[str] | None = None) -> int:
    args = parse_arguments(argv)
    scratch = None if args.workdir else tempfile.mkdtemp(prefix="veltrane-study-")
    workdir = Path(args.workdir or scratch or ".").absolute()
    try:
        installation: str | SimulatedInstallation
        if args.installation is None:
            from veltrane_computer.simulated import sample_models, simulated_installation

            installation = simulated_installation(workdir / "installation")  # the workers set it up themselves
            model = Path(args.model) if args.model else sample_models(workdir / "models")[0]
        else:
            installation, model = args.installation, Path(args.model)
        with Session.open(installation) as session:
            workers = None if args.scheduler else args.workers or 2
            return study(session, installation, model.absolute(), workdir, workers, args.scheduler)
    finally:
        if scratch is not None:
            shutil.rmtree(scratch, ignore_errors=True)


if __name__ == "__main__":  # the batch's workers are spawned and import this script again
    sys.exit(main())
