"""A day's work with veltrane_computer, from setup to solutions and projects.

With no argument the script lays out a simulated installation in a temporary
folder, activates the simulated host and works there, so it runs anywhere;
--workdir DIR keeps everything it makes in DIR instead. Models passed in are
copied into the work folder first: the script never saves over them. On
Windows, point it at the real application:

    python examples/quickstart.py --installation "C:\\Program Files\\Veltrane\\Tubrolis 20XX.Y" \\
        --piping-model D:\\Work\\Plant\\Line1.tessel --structure-model D:\\Work\\Rack\\Rack.tessel

It is written against Session, Model and Project alone: it never imports the core.
"""

from __future__ import annotations

import argparse
import shutil
import sys
import tempfile
from collections.abc import Sequence
from pathlib import Path

from veltrane_computer.model import CommandError, Kind, Model, ModelError
from veltrane_computer.project import ProjectError
from veltrane_computer.session import Session, SolveError, SolveResult


def heading(text: str) -> None:
    print()
    print(text)
    print("-" * len(text))


def show(label: str, value: object) -> None:
    print(f"  {label:<28} {value}")


def listing(folder: Path) -> str:
    return ", ".join(sorted(path.name for path in folder.iterdir()))


def parse_arguments(argv: Sequence[str] | None) -> argparse.Namespace:
    parser = argparse.ArgumentParser(description=(__doc__ or "").split("\n\n")[0])
    parser.add_argument("--installation", help="installation directory of the application (default: simulated)")
    parser.add_argument("--piping-model", help="an existing piping model (.tessel) to work on")
    parser.add_argument("--structure-model", help="an existing structure model (.tessel) to work on")
    parser.add_argument("--workdir", help="folder for the script's files, kept afterwards (default: temporary)")
    return parser.parse_args(argv)


def simulated_host(workdir: Path) -> tuple[Session, dict[str, Path]]:
    """A session on a simulated installation, and two existing models as an engineer would have them."""
    from veltrane_computer.simulated import sample_models, simulated_installation

    # Activates the simulated host even where a real bridge is installed: no installation was named.
    installation = simulated_installation(workdir / "installation")
    # models/Line1/Line1.tessel (with Line1.thf beside it) and models/Rack/Rack.tessel
    line, rack = sample_models(workdir / "models")
    return Session.open(**installation), {"piping": line, "structure": rack}


def working_copy(model: Path, workdir: Path) -> Path:
    """A copy of a model, with its own input and thermal files, in a folder of its own under workdir."""
    folder = workdir / "work" / model.stem
    folder.mkdir(parents=True, exist_ok=True)
    for path in model.absolute().parent.iterdir():
        if path.name == model.name or path.name.lower() in (f"{model.stem.lower()}.fre", f"{model.stem.lower()}.thf"):
            shutil.copy2(path, folder)
    return folder / model.name


def main(argv: Sequence[str] | None = None) -> int:
    args = parse_arguments(argv)
    scratch = None if args.workdir else tempfile.mkdtemp(prefix="veltrane-quickstart-")
    workdir = Path(args.workdir or scratch or ".").absolute()
    try:
        if args.installation is None:
            session, models = simulated_host(workdir)
        else:
            session, models = Session.open(args.installation), {}
        for kind, given in (("piping", args.piping_model), ("structure", args.structure_model)):
            if given:
                models[kind] = working_copy(Path(given), workdir)  # the caller's own files stay as they are
        with session:
            run(session, models, workdir)
    finally:
        if scratch is not None:
            shutil.rmtree(scratch, ignore_errors=True)
    return 0


def run(session: Session, models: dict[str, Path], workdir: Path) -> None:
    heading("Binding to the installation")
    show("installation", session.installation)
    for name, path in session.solver_paths.items():
        show(f"{name} solver", path)
    show("projects directory", session.projects_directory)

    heading("New models")
    new_models: tuple[tuple[Kind, str], ...] = (("piping", "NewLine"), ("structure", "NewFrame"))
    for kind, name in new_models:
        path = session.new_model(kind).save(workdir / "new-models" / name / f"{name}.tessel")
        # A new model has no input file of its own yet, so it gets the folder's conception.fre.
        show(f"{kind} model saved", listing(path.parent))
    reloaded = session.open_model(workdir / "new-models" / "NewLine" / "NewLine.tessel")
    show("reloaded", reloaded)
    show("its layers", [layer.Name for layer in reloaded.host.Layers])
    try:
        session.open_model(workdir / "new-models" / "NoSuchModel.tessel")
    except ModelError as error:
        show("a model that is not there", error.reason)

    piping = models.get("piping")
    if piping:
        edit_and_solve(session.open_model(piping))
    structure = models.get("structure")
    if structure:
        heading("Solving the structure model")
        describe(session.open_model(structure).solve())

    projects_and_studies(session, workdir)

    heading("Looking into the SDK")
    description = session.new_model("piping").describe()
    members = [p["Name"] for p in description.get("Properties", [])]
    show("Model properties", ", ".join(members[:8]) + (", ..." if len(members) > 8 else ""))
    try:
        session.inspect_class("NoSuchClass")
    except LookupError as error:
        show("NoSuchClass", error)


def edit_and_solve(model: Model) -> None:
    heading("Commands on an existing model")
    show("model", model)
    model.run("RenumberNodes")
    show("nodes after renumbering", [node.Number for node in model.host.Nodes][:8])
    try:
        model.run("ScaleLoads", Factr=1.5)
    except CommandError as error:
        show("a misspelt parameter", f"{error.reason}: {error.parameter}")
    model.run("ScaleLoads", Factor=1.5)
    assert model.path is not None
    model.save()
    show("saved with its input file", listing(model.path.parent))
    show("input file written again", model.write_input_file().name)

    heading("Solving the piping model")
    print("  Vazer, in a sandbox:")
    describe(model.solve("Vazer"))
    print("  DiroZiziva, in place:")
    describe(model.solve("DiroZiziva", sandbox=False))
    try:
        model.solve("vazer")  # type: ignore[arg-type]  # a typo, on purpose
    except SolveError as error:
        show("an unknown solver", f"{error.reason}: {error}")


def describe(result: SolveResult) -> None:
    show("solver", result.solver)
    show("result files", ", ".join(path.name for path in result.result_files))
    show("kept in", result.output_dir)
    show("seconds", f"{result.seconds:.2f}")


def projects_and_studies(session: Session, workdir: Path) -> None:
    heading("Projects and studies")
    plant = session.new_project(workdir / "projects", "Plant", "piping", study="Line1")
    show("project", plant)
    plant.add_study("PipeRack", "structure")
    plant.duplicate_study("Line1", "Line1 hot case")
    plant.add_study("Scratch", "piping")
    plant.remove_study("Scratch")
    show("studies", ", ".join(plant.studies))
    try:
        session.new_project(workdir / "projects", "Plant", "piping", study="Other")
    except ProjectError as error:
        show("a second project Plant", error.reason)
    try:
        plant.remove_study("Line1 cold case")
    except ProjectError as error:
        show("a study that is not there", error.reason)
    plant.remove()
    show("project removed", not plant.directory.exists())


if __name__ == "__main__":
    sys.exit(main())
