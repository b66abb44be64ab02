"""A day's work with veltrane_computer, from setup to solutions and projects.

With no argument the script lays out a simulated installation in a temporary
folder, activates the simulated host and works there, so it runs anywhere;
--workdir DIR keeps everything it makes in DIR instead. Models passed in are
copied into the work folder first: the script never saves over them. On
Windows, point it at the real application:

    python examples/quickstart.py --installation "C:\\Program Files\\Veltrane\\Tubrolis 20XX.Y" \\
        --piping-model D:\\Work\\Plant\\Line1.tessel --structure-model D:\\Work\\Rack\\Rack.tessel
"""

import argparse
import json
import os
import shutil
import sys
import tempfile


def heading(text):
    print()
    print(text)
    print("-" * len(text))


def show(label, value):
    print(f"  {label:<28} {value}")


def listing(folder):
    return sorted(os.listdir(folder))


def snapshot(folder):
    """Names and contents of a folder's files, to show what a call left behind."""
    files = {}
    for name in listing(folder):
        path = os.path.join(folder, name)
        if os.path.isfile(path):
            with open(path, "rb") as f:
                files[name] = f.read()
    return files


def describe_solution(solution):
    if solution is None:
        show("solution", "none (the run failed)")
        return
    for attribute in ("SolverName", "NodeCount", "ElementCount", "MaxDisplacement", "ResultFile"):
        if hasattr(solution, attribute):
            show(attribute, getattr(solution, attribute))


def parse_arguments(argv):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--installation", help="installation directory of the application (default: simulated)")
    parser.add_argument("--piping-model", help="an existing piping model (.tessel) to work on")
    parser.add_argument("--structure-model", help="an existing structure model (.tessel) to work on")
    parser.add_argument("--workdir", help="folder for the script's files, kept afterwards (default: temporary)")
    return parser.parse_args(argv)


def prepare_simulated_host(workdir):
    """A simulated installation and two existing models, as an engineer would have them."""
    import veltrane_sim
    from veltrane_computer.simulated import simulated_installation

    # Activates the simulated host even where a real bridge is installed: no installation was named.
    installation = simulated_installation(os.path.join(workdir, "installation"))
    models = {}
    for kind, folder, name in (("piping", "Line1", "Line1.tessel"), ("structure", "Rack", "Rack.tessel")):
        os.makedirs(os.path.join(workdir, "models", folder), exist_ok=True)
        models[kind] = os.path.join(workdir, "models", folder, name)
        veltrane_sim.write_tessel(models[kind], kind)
    with open(os.path.join(workdir, "models", "Line1", "Line1.thf"), "w") as f:
        f.write("thermal cases for Line1\n")
    return installation, models


def working_copy(model, workdir):
    """A copy of a model, with its own input and thermal files, in a folder of its own under workdir."""
    stem = os.path.splitext(os.path.basename(model))[0]
    folder = os.path.join(workdir, "work", stem)
    os.makedirs(folder, exist_ok=True)
    source = os.path.dirname(os.path.abspath(model))
    for name in os.listdir(source):
        if name == os.path.basename(model) or name.lower() in (stem.lower() + ".fre", stem.lower() + ".thf"):
            shutil.copy2(os.path.join(source, name), folder)
    return os.path.join(folder, os.path.basename(model))


def main(argv=None):
    args = parse_arguments(argv)
    scratch = None
    workdir = args.workdir
    if workdir is None:
        scratch = tempfile.mkdtemp(prefix="veltrane-quickstart-")
        workdir = scratch
    try:
        run(args, os.path.abspath(workdir))
    finally:
        if scratch is not None:
            shutil.rmtree(scratch, ignore_errors=True)
    return 0


def run(args, workdir):
    simulated = args.installation is None
    if simulated:
        installation, models = prepare_simulated_host(workdir)
        installation_directory = str(installation.installation)
    else:
        installation = None
        installation_directory = args.installation
        models = {}
    for kind, given in (("piping", args.piping_model), ("structure", args.structure_model)):
        if given:
            models[kind] = working_copy(given, workdir)  # the caller's own files stay as they are

    import veltrane_computer as cc
    from veltrane_computer import veltrane_core

    if installation is not None:  # the simulated settings files instead of those under C:\ProgramData
        veltrane_core._settingsPath_ = str(installation.settings)
        veltrane_core._dataSourcesPath_ = str(installation.data_sources)

    heading("Binding to the installation")
    valid = cc.setup_veltrane_computer(installation_directory, cc.VeltraneModule.Tubrolis)
    show("installation", installation_directory)
    show("set up", valid)
    if not valid:
        print("  The installation has no Extensions folder; nothing more can be done.")
        return
    show("Vazer solver", veltrane_core._Vazer_)
    show("DiroZiziva solver", veltrane_core._DiroZiziva_)
    show("projects directory", veltrane_core._projectPath_)

    heading("New models")
    for label, create, name in (
        ("piping", cc.createPipingTessel, "NewLine"),
        ("structure", cc.createStructureTessel, "NewFrame"),
    ):
        folder = os.path.join(workdir, "new-models", name)
        os.makedirs(folder, exist_ok=True)
        cc.saveTessel(create(), os.path.join(folder, name + ".tessel"))
        # A new model has no input file of its own yet, so it gets the folder's conception.fre.
        show(f"{label} model saved", ", ".join(listing(folder)))
    new_line = os.path.join(workdir, "new-models", "NewLine")
    reloaded = cc.loadTessel(cc.getTessel(new_line))
    show("reloaded NewLine, layers", [layer.Name for layer in reloaded.Layers])

    piping_model = models.get("piping")
    if piping_model:
        heading("A custom command on an existing model")
        tessel = cc.loadTessel(piping_model)
        show("model", os.path.basename(piping_model))
        command = cc.createCommand("RenumberNodes", tessel)
        cc.executeCommand(command)
        if hasattr(tessel, "Nodes"):
            show("nodes after renumbering", [node.Number for node in tessel.Nodes][:8])
        cc.saveTessel(tessel, piping_model)
        show("saved with its input file", ", ".join(listing(os.path.dirname(piping_model))))

        heading("Solving the piping model")
        model_folder = os.path.dirname(piping_model)
        before = snapshot(model_folder)
        solution = cc.solve(piping_model, "Vazer", True)
        print("  Vazer, in a sandbox:")
        describe_solution(solution)
        show("sandbox", veltrane_core._tempDirectory_)
        show("model folder unchanged", snapshot(model_folder) == before)

        solution = cc.solve(piping_model, "DiroZiziva", False)
        print("  DiroZiziva, in place (the sandbox of the last solve is gone):")
        describe_solution(solution)
        show("sandbox still there", os.path.isdir(veltrane_core._tempDirectory_ or ""))
        show("model folder now holds", ", ".join(listing(model_folder)))

        show("an unknown solver", cc.solve(piping_model, "vazer", False))

    structure_model = models.get("structure")
    if structure_model:
        heading("Solving the structure model")
        describe_solution(cc.solve(structure_model, "Vazer", True))
    cc.disposeSolution()
    show("solution after disposal", veltrane_core._Solution_)

    heading("The session layer")
    show_session_layer(installation_directory, models)

    heading("Projects and studies")
    folder = cc.addProjectFolder(workdir, "projects")
    show("project folder", folder)
    project = cc.addPipingProject(folder, "Plant", "Line1", 1920, 1080)
    show("project", project)
    cc.addStructureStudy(project, "PipeRack", 1920, 1080)
    cc.duplicateStudy(project, "Line1", "Line1 hot case")
    cc.addPipingStudy(project, "Scratch", 1920, 1080)
    cc.removeStudy(project, "Scratch")
    show("studies", ", ".join(study_names(project, simulated)) or "(not readable here)")
    show("second project with same name", repr(cc.addPipingProject(folder, "Plant", "Other", 1920, 1080)))
    cc.removeProjectFolder(folder)
    show("project folder removed", not os.path.exists(folder))

    heading("Looking into the SDK")
    show("Model lives in", cc.findNameSpaceAndAssembly("Model"))
    show("NoSuchClass lives in", cc.findNameSpaceAndAssembly("NoSuchClass"))
    description = json.loads(cc.inspectClass(cc.createPipingTessel(), False))
    members = [p["Name"] for p in description.get("Properties", [])]
    show("Model properties", ", ".join(members[:8]) + (", ..." if len(members) > 8 else ""))


def show_session_layer(installation_directory, models):
    """Sessions: result files that outlive the solve, and errors that say why."""
    from veltrane_computer.session import Session, SolveError

    with Session.open(installation_directory) as session:
        for kind, model in models.items():
            result = session.solve(model, "DiroZiziva" if kind == "piping" else "Vazer")
            names = ", ".join(path.name for path in result.result_files)
            show(f"{kind} results kept", f"{names} in {result.output_dir.name}/ ({result.seconds:.2f} s)")
        try:
            session.solve(models.get("piping") or "missing.tessel", "vazer")  # type: ignore[arg-type]  # on purpose
        except SolveError as error:
            show("a typo in the solver name", f"{error.reason}: {error}")


def study_names(project, simulated):
    if not simulated:
        return []
    import veltrane_sim

    document = veltrane_sim.read_project(veltrane_sim.project_file_for(project))
    return [study["name"] for study in document["studies"]]


if __name__ == "__main__":
    sys.exit(main())
