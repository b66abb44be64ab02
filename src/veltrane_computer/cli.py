"""The ``veltrane`` command (also ``python -m veltrane_computer``).

    veltrane check "C:\\Program Files\\Veltrane\\Tubrolis 2025.1"
    veltrane solve D:\\Work\\*\\*.tessel --installation "C:\\...\\Tubrolis 2025.1" --solver DiroZiziva
    veltrane inspect Model --installation "C:\\...\\Tubrolis 2025.1"
    veltrane --simulated /tmp/sim solve "/tmp/sim/models/*/*.tessel"   # the simulated host and its samples

Each sub-command is added by a registrar in :data:`REGISTRARS`: a function that
adds its parser to the sub-parsers and sets ``handler`` (``args -> exit status``)
as the parser's default. :func:`add_installation_options`, :func:`add_model_options`,
:func:`add_output_options`, :func:`expand_models` and :func:`open_session` give a
sub-command the options, the models and the session it needs. Results go to
standard output (one JSON document with ``--json``), progress to standard error.
The exit statuses are in :data:`EXIT_STATUSES`.
"""

from __future__ import annotations

import argparse
import contextlib
import dataclasses
import glob
import json
import logging
import os
import sys
import traceback
from collections import Counter
from collections.abc import Callable, Iterator, Sequence
from pathlib import Path
from typing import TYPE_CHECKING, Any, NamedTuple

from . import __version__
from ._tables import format_table
from .session import SOLVERS, SetupError, SolveError

if TYPE_CHECKING:
    from .batch import BatchReport
    from .session import Session, SolveResult
    from .simulated import SimulatedInstallation

__all__ = [
    "main",
    "REGISTRARS",
    "EXIT_STATUSES",
    "UsageError",
    "add_command",
    "add_model_options",
    "add_output_options",
    "add_installation_options",
    "expand_models",
    "installation_options",
    "open_session",
    "progress",
    "print_json",
    "format_table",
]

SubParsers = Any  # argparse's sub-parsers action, which typeshed calls a private class
Registrar = Callable[[SubParsers], None]

# The assemblies setup loads, then those that solving, projects and the input writer load.
SETUP_ASSEMBLIES = ("Veltrane.SDK.dll", "Veltrane.Tubrolis.Core.dll")
OTHER_ASSEMBLIES = (
    "Veltrane.Helper.dll",
    "Veltrane.Vazer.Core.dll",
    "Veltrane.DiroZiziva.Core.dll",
    "Veltrane.Tubrolis.Project.dll",
    "Veltrane.DiroZiziva.lib",
)

MODULES = ("All", "Tubrolis", "Trabexon")

OK, FAILED, USAGE, INTERNAL, INTERRUPTED = 0, 1, 2, 3, 130
EXIT_STATUSES = {
    OK: "all done",
    FAILED: "a model or a check failed",
    USAGE: "bad input: options, models, an installation that cannot be set up",
    INTERNAL: "an internal error (a bug: please report the traceback)",
    INTERRUPTED: "interrupted (Ctrl-C)",
}
EPILOG = "exit status:\n" + "\n".join(f"  {status:<4} {meaning}" for status, meaning in EXIT_STATUSES.items())


class UsageError(Exception):
    """Bad input: reported as an ``error:`` line with exit status 2."""


def add_installation_options(parser: argparse.ArgumentParser, *, positional: bool = False) -> None:
    """INSTALLATION (positional or --installation), --settings, --data-sources and --module."""
    help_text = "the application's installation directory (not needed with --simulated)"
    if positional:
        parser.add_argument("installation", metavar="INSTALLATION", nargs="?", type=Path, help=help_text)
    else:
        parser.add_argument("--installation", metavar="DIR", type=Path, help=help_text)
    parser.set_defaults(installation_option="INSTALLATION" if positional else "--installation")
    parser.add_argument(
        "--settings", metavar="FILE", type=Path, help="Tubrolis.settings to read instead of its fixed place"
    )
    parser.add_argument(
        "--data-sources", metavar="FILE", type=Path, help="DataSources.settings to read instead of its fixed place"
    )
    parser.add_argument("--module", default="Tubrolis", choices=MODULES, help="default %(default)s")


class InstallationOptions(NamedTuple):
    """What the installation options name; ``simulated`` is the simulated installation --simulated laid out."""

    installation: Path
    settings: Path | None
    data_sources: Path | None
    simulated: SimulatedInstallation | None = None


def installation_options(args: argparse.Namespace) -> InstallationOptions:
    """The installation the options name (the simulated one with --simulated, settings files included)."""
    if args.simulated is not None:
        if args.installation is not None:
            raise UsageError(f"{args.installation_option} {args.installation}: not with --simulated")
        simulated = _simulated(args.simulated)
        return InstallationOptions(
            simulated.installation,
            args.settings or simulated.settings,
            args.data_sources or simulated.data_sources,
            simulated,
        )
    if args.installation is None:
        raise UsageError(f"{args.installation_option} is required (or --simulated DIR)")
    return InstallationOptions(args.installation, args.settings, args.data_sources)


def _simulated(folder: Path) -> SimulatedInstallation:
    """The simulated installation in folder, with the sample models in folder/models (laid out once)."""
    from .simulated import sample_models, simulated_installation

    if folder.exists() and not folder.is_dir():
        raise UsageError(f"--simulated {folder}: is a file, not a folder")
    try:
        installation = simulated_installation(folder)
        sample_models(folder / "models")
    except OSError as error:
        raise UsageError(f"--simulated {folder}: cannot lay out an installation there: {error}") from None
    return installation


def open_session(args: argparse.Namespace) -> Session:
    """The session the installation options describe; bad options are a UsageError. What the core prints
    outside the session's own calls goes to standard error, so that standard output holds results only."""
    from .session import Session

    options = installation_options(args)
    try:
        session = Session.open(options.installation, args.module, options.settings, options.data_sources)
    except SetupError as error:
        raise UsageError(str(error)) from error
    from . import veltrane_core  # imported by the setup, after --simulated activated the simulated host

    vars(veltrane_core)["print"] = _print_to_stderr
    return session


def _print_to_stderr(*values: object, **options: Any) -> None:
    print(*values, **{"file": sys.stderr, **options})


def add_output_options(parser: argparse.ArgumentParser) -> None:
    """--json and --quiet."""
    parser.add_argument(
        "--json", action="store_true", help="write one JSON document to standard output instead of the report"
    )
    parser.add_argument("-q", "--quiet", action="store_true", help="write no progress to standard error")


def progress(args: argparse.Namespace, text: str) -> None:
    """A line of progress on standard error, unless --quiet."""
    if not args.quiet:
        print(text, file=sys.stderr, flush=True)


def print_json(document: object) -> None:
    print(json.dumps(document, indent=2, default=os.fspath))


def _models_in(folder: str) -> str:
    """A pattern for the models in folder, written as the folder was typed: with its separator ("/" is one on
    Windows too), the platform's when it has none."""
    separator = os.sep
    if os.altsep and os.altsep in folder and os.sep not in folder:
        separator = os.altsep
    return folder.rstrip(os.sep + (os.altsep or "")) + separator + "*.tessel"


def expand_models(arguments: Sequence[str]) -> list[Path]:
    """The model files MODEL arguments name: `*`, `?`, `[...]` and `**` are expanded here, as a Windows shell
    does not. A pattern that matches no file, a folder and a missing file are a UsageError naming them all."""
    models: list[Path] = []
    problems = []
    for argument in arguments:
        if glob.has_magic(argument) and not os.path.lexists(argument):
            matches = [Path(match) for match in sorted(glob.glob(argument, recursive=True)) if os.path.isfile(match)]
            models.extend(matches)
            if not matches:
                problems.append(f"'{argument}' matches no file")
        elif os.path.isdir(argument):
            problems.append(f"'{argument}' is a folder; name its models, for example '{_models_in(argument)}'")
        elif not os.path.isfile(argument):
            problems.append(f"'{argument}' does not exist")
        else:
            models.append(Path(argument))
    if problems:
        raise UsageError("MODEL " + "; ".join(problems))
    return models


def _presence(path: Path | None) -> str:
    if path is None:
        return "not set"
    return "found" if path.exists() else "missing"


def _run_check(args: argparse.Namespace) -> int:
    directory = installation_options(args).installation
    rows: list[tuple[str, object, str]] = [
        ("installation directory", directory, _presence(directory)),
        ("Extensions folder", directory / "Extensions", _presence(directory / "Extensions")),
    ]
    for name in SETUP_ASSEMBLIES + OTHER_ASSEMBLIES:
        places = [directory / "Extensions" / name, directory / name]
        found = next((place for place in places if place.exists()), None)
        rows.append((name, found or places[0], "found" if found else "missing"))
    set_up = all(status == "found" for _, _, status in rows[: 2 + len(SETUP_ASSEMBLIES)])
    problems: list[str] = []
    try:
        session = open_session(args)
    except (UsageError, ModuleNotFoundError) as error:
        rows.append(("setup", error, "failed"))
        set_up = False
        problems = [str(error), *getattr(error, "__notes__", [])]
    else:
        with session:
            rows.append(("setup", directory, "succeeded"))
            for solver, path in session.solver_paths.items():
                rows.append((f"{solver} solver", path or "(not set in the settings)", _presence(path)))
                if path is not None and not path.exists():
                    problems.append(f"the {solver} solver '{path}' set in the settings does not exist")
            rows.append(("data folder", session.data_directory, _presence(session.data_directory)))
            rows.append(("projects folder", session.projects_directory, _presence(session.projects_directory)))
    ok = set_up and not problems
    if args.json:
        items = [{"item": item, "path": str(path), "status": status} for item, path, status in rows]
        print_json({"command": "check", "ok": ok, "setup": set_up, "items": items, "problems": problems})
    else:
        print(format_table(("item", "path", "status"), rows))
        if not set_up:
            print("\n".join(["setup would fail", *problems[1:]]))
        else:
            print("setup would succeed" + "".join(f", but {problem}" for problem in problems))
    return OK if ok else FAILED


def _result_folders(models: Sequence[Path], output: Path | None) -> list[Path | None]:
    """Each model's result folder under --output: its file stem, then "-2", "-3", ... for stems met before
    (whatever their case, as folder names on Windows)."""
    if output is None:
        return [None] * len(models)
    folders: list[Path | None] = []
    taken: set[str] = set()
    for model in models:
        name, number = model.stem, 1
        while name.casefold() in taken:
            number += 1
            name = f"{model.stem}-{number}"
        taken.add(name.casefold())
        folders.append(output / name)
    return folders


def _solved(result: SolveResult) -> dict[str, Any]:
    return {"model": result.model, "solver": result.solver, "status": "ok", "reason": None, "message": "",
            "seconds": round(result.seconds, 3), "output_dir": result.output_dir,
            "result_files": list(result.result_files)}


def _unsolved(model: Path, solver: str, status: str, reason: str | None, message: str) -> dict[str, Any]:
    return {"model": model.absolute(), "solver": solver, "status": status, "reason": reason, "message": message,
            "seconds": None, "output_dir": None, "result_files": []}


def _run_solve(args: argparse.Namespace) -> int:
    models = expand_models(args.models)
    folders = _result_folders(models, args.output)
    records: list[dict[str, Any]] = []
    interrupted = False
    with open_session(args) as session:
        try:
            for index, (model, folder) in enumerate(zip(models, folders, strict=True), start=1):
                try:
                    result = session.solve(model, args.solver, args.sandbox, folder)
                except SolveError as error:
                    records.append(_unsolved(model, error.solver, "failed", error.reason, str(error)))
                    outcome = f"failed: {error}"
                else:
                    records.append(_solved(result))
                    count = len(result.result_files)
                    outcome = f"ok, {count} result file{'' if count == 1 else 's'} in {result.output_dir}"
                progress(args, f"[{index}/{len(models)}] {model}: {outcome}")
        except KeyboardInterrupt:
            interrupted = True
            for model in models[len(records) :]:
                records.append(_unsolved(model, args.solver, "not solved", "interrupted", ""))
    tally = Counter(record["status"] for record in records)
    if args.json:
        print_json({"command": "solve", "ok": tally["ok"] == len(models), "interrupted": interrupted,
                    "models": records})
    else:
        rows = [(Path(r["model"]).name, r["solver"], r["status"] if r["status"] == "ok" else r["reason"],
                 "-" if r["seconds"] is None else f"{r['seconds']:.2f}", r["output_dir"] or "-") for r in records]
        print(format_table(("model", "solver", "status", "seconds", "results"), rows))
        print(f"{tally['ok']} of {len(models)} solved")
    if interrupted:
        print(f"interrupted: {tally['ok']} ok, {tally['failed']} failed, {tally['not solved']} not solved",
              file=sys.stderr)
        return INTERRUPTED
    return OK if tally["ok"] == len(models) else FAILED


def _run_inspect(args: argparse.Namespace) -> int:
    with open_session(args) as session:
        try:
            description = session.inspect_class(args.class_name)
        except LookupError as error:
            raise UsageError(f"CLASS: {error}") from error
    if args.json:
        print_json({"command": "inspect", "ok": True, "class": args.class_name, "description": json.loads(description)})
    else:
        print(description)
    return OK


def add_command(
    commands: SubParsers, name: str, handler: Callable[[argparse.Namespace], int], summary: str, description: str
) -> argparse.ArgumentParser:
    """A sub-command's parser, whose ``handler`` takes the parsed arguments and answers the exit status."""
    parser: argparse.ArgumentParser = commands.add_parser(
        name, help=summary, description=description, epilog=EPILOG, formatter_class=argparse.RawDescriptionHelpFormatter
    )
    parser.set_defaults(handler=handler)
    return parser


def add_model_options(parser: argparse.ArgumentParser) -> None:
    """MODEL... (patterns and all: see :func:`expand_models`) and --solver."""
    parser.add_argument(
        "models", metavar="MODEL", nargs="+", help="a .tessel model file, or a pattern (*, ?, [...], **) of them"
    )
    parser.add_argument("--solver", default="Vazer", choices=SOLVERS, help="default %(default)s (structure: Vazer)")


def _add_check(commands: SubParsers) -> None:
    description = (
        "Report what setup would find: directories, settings files, assemblies, solver paths, data and projects "
        "folders. Exit status 0 only when setup would succeed and every solver the settings name is there."
    )
    parser = add_command(commands, "check", _run_check, "what setup would find in an installation", description)
    add_installation_options(parser, positional=True)
    add_output_options(parser)


def _add_solve(commands: SubParsers) -> None:
    description = (
        "Solve each MODEL in turn; its result files are copied to a folder beside it named <model>.results "
        "(or to DIR/<model> with --output, DIR/<model>-2 for a second model of that name). Progress goes to "
        "standard error, the summary to standard output."
    )
    parser = add_command(commands, "solve", _run_solve, "solve models, copying their result files out", description)
    add_model_options(parser)
    add_installation_options(parser)
    place = parser.add_mutually_exclusive_group()
    place.add_argument("--sandbox", dest="sandbox", action="store_true", default=True, help="solve a copy (default)")
    place.add_argument("--in-place", dest="sandbox", action="store_false", help="solve in the model's folder")
    parser.add_argument("--output", metavar="DIR", type=Path, help="put each model's results in DIR/<model>")
    add_output_options(parser)


def _add_inspect(commands: SubParsers) -> None:
    description = "Print the JSON description (properties, methods, constructors) of the host class CLASS."
    parser = add_command(commands, "inspect", _run_inspect, "the JSON description of a host class", description)
    parser.add_argument("class_name", metavar="CLASS", help="short or full name: Model, Veltrane.Tubrolis.Core.Model")
    add_installation_options(parser)
    add_output_options(parser)


def _add_batch(commands: SubParsers) -> None:
    description = (
        "Solve each MODEL in a pool of worker processes, each set up once, or on a Dask cluster; the results of a "
        "model go to DIR/<model> and DIR/manifest.json records every job. Running the same batch again skips the "
        "models solved, unless they changed (or with --rerun)."
    )
    summary = "solve many models in parallel worker processes"
    parser = add_command(commands, "batch", _run_batch, summary, description)
    add_model_options(parser)
    add_installation_options(parser)
    parser.add_argument("--workers", type=int, metavar="N", help="local worker processes (default: one per core)")
    parser.add_argument("--scheduler", metavar="ADDRESS", help="solve on the Dask cluster of this scheduler "
                        "(tcp://host:port); its workers must see the models and DIR under the same paths")
    parser.add_argument("--output", metavar="DIR", type=Path, default=Path("batch-results"),
                        help="the result folder (default %(default)s)")
    parser.add_argument("--timeout", type=float, metavar="S", help="stop a solve that takes more than S seconds")
    parser.add_argument("--retries", type=int, default=0, metavar="N",
                        help="start a timed-out job or one whose worker died again, up to N times")
    parser.add_argument("--rerun", action="store_true", help="solve again the models an earlier run solved")
    add_output_options(parser)


def _run_batch(args: argparse.Namespace) -> int:
    """`veltrane batch`: 0 when every model is solved, 1 when one failed; bad input is a UsageError."""
    from .batch import BatchError, BatchInterrupted, run_batch

    models = expand_models(args.models)
    options = installation_options(args)
    settings = {"workers": args.workers, "scheduler": args.scheduler, "output_dir": args.output,
                "solver": args.solver, "timeout": args.timeout, "retries": args.retries, "rerun": args.rerun,
                "module": args.module, "settings": options.settings, "data_sources": options.data_sources,
                "progress": not args.quiet}
    try:
        report = run_batch(models, options.simulated or options.installation, **settings)
    except BatchError as error:
        raise UsageError(str(error)) from None
    except BatchInterrupted as interrupt:
        _report_batch(args, interrupt.report, interrupted=True)
        tally = Counter(record.status for record in interrupt.report.records)
        print(f"interrupted: {tally['ok']} ok, {tally['cancelled']} cancelled, {tally['pending']} pending; "
              "run the same command again to resume", file=sys.stderr)
        return INTERRUPTED
    _report_batch(args, report, interrupted=False)
    return OK if report.ok else FAILED


def _report_batch(args: argparse.Namespace, report: BatchReport, interrupted: bool) -> None:
    """The batch's summary, or its JSON document."""
    from .batch import summary

    if args.json:
        document = dataclasses.asdict(report)
        for record in document["records"]:  # a job's reason is its status, unless it was solved
            record.setdefault("reason", None if record["status"] == "ok" else record["status"])
        print_json({"command": "batch", "ok": report.ok and not interrupted, "interrupted": interrupted, **document})
    else:
        print(summary(report))


# Sub-commands, in the order --help lists them. Other modules may add theirs here.
REGISTRARS: list[Registrar] = [_add_check, _add_solve, _add_inspect, _add_batch]


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="veltrane",
        description="Check installations, solve models and inspect host classes.",
        epilog=EPILOG,
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    parser.add_argument("--version", action="version", version=f"%(prog)s {__version__}")
    parser.add_argument(
        "--simulated",
        metavar="DIR",
        type=Path,
        help="use the simulated host, with an installation made in DIR and sample models to try in "
        "DIR/models: Line1/Line1.tessel (a piping line) and Rack/Rack.tessel (a structure)",
    )
    parser.add_argument("-v", "--verbose", action="count", default=0, help="log more (-vv: debug)")
    commands = parser.add_subparsers(dest="command", metavar="COMMAND", required=True)
    for register in REGISTRARS:
        register(commands)
    return parser


@contextlib.contextmanager
def _replacing_streams() -> Iterator[None]:
    """Standard output and error write what their encoding cannot hold as replacement characters."""
    streams = [stream for stream in (sys.stdout, sys.stderr) if hasattr(stream, "reconfigure")]
    previous = [stream.errors for stream in streams]
    for stream in streams:
        stream.reconfigure(errors="replace")
    try:
        yield
    finally:
        for stream, errors in zip(streams, previous, strict=True):
            with contextlib.suppress(ValueError):  # closed meanwhile
                stream.reconfigure(errors=errors)


def main(argv: Sequence[str] | None = None) -> int:
    """Run the command line; returns the exit status (see :data:`EXIT_STATUSES`)."""
    with _replacing_streams():
        parser = build_parser()
        try:
            args = parser.parse_args(argv)
        except KeyboardInterrupt:
            return INTERRUPTED
        logging.basicConfig(format="%(levelname)s: %(message)s")
        if args.verbose:
            logging.getLogger("veltrane_computer").setLevel(logging.DEBUG if args.verbose > 1 else logging.INFO)
        return _handle(parser, args)


def _handle(parser: argparse.ArgumentParser, args: argparse.Namespace) -> int:
    """Runs the sub-command; what it raises becomes an error line and its exit status."""
    prefix = f"{parser.prog} {args.command}: "
    try:
        if args.simulated is not None:
            _simulated(args.simulated)  # before the handler expands MODEL patterns: they may name the samples
        status: int = args.handler(args)
    except (UsageError, ModuleNotFoundError) as error:
        notes = "".join(f"\n{note}" for note in getattr(error, "__notes__", ()))
        _failed(args, USAGE, f"{error}{notes}")
        parser.exit(USAGE, f"{prefix}error: {error}{notes}\n")
    except KeyboardInterrupt:
        _failed(args, INTERRUPTED, "interrupted")
        print(f"{prefix}interrupted", file=sys.stderr)
        return INTERRUPTED
    except BrokenPipeError:  # the reader went away (| head): stop quietly
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return FAILED
    except Exception as error:
        traceback.print_exc()
        _failed(args, INTERNAL, f"internal error: {type(error).__name__}: {error}")
        print(f"{prefix}internal error: {type(error).__name__}: {error}", file=sys.stderr)
        return INTERNAL
    return status


def _failed(args: argparse.Namespace, status: int, error: str) -> None:
    """With --json, standard output holds one JSON document even when the command could not run."""
    if getattr(args, "json", False):
        print_json({"command": args.command, "ok": False, "exit_status": status, "error": error})


if __name__ == "__main__":
    sys.exit(main())
