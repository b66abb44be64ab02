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
import csv
import difflib
import errno
import glob
import importlib
import json
import logging
import os
import sys
import time
import traceback
from collections.abc import Callable, Iterator, Sequence
from pathlib import Path
from typing import TYPE_CHECKING, Any, NamedTuple, TextIO, cast

from . import __version__
from ._tables import format_table
from .session import SOLVERS, SetupError, SolveError

if TYPE_CHECKING:
    from .batch import BatchReport, JobRecord, Status
    from .session import Session
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
    "write_records",
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
EPILOG = "exit status:\n" + "\n".join(f"  {status:<4} {meaning}" for status, meaning in EXIT_STATUSES.items()) + (
    "\n  a reader that goes away (| head) does not change it: the command finishes its work")


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


def add_output_options(parser: argparse.ArgumentParser, *, records: bool = False) -> None:
    """--json; with `records`, --csv too (see :func:`write_records`). -q is a global option."""
    formats = parser.add_mutually_exclusive_group()
    formats.add_argument(
        "--json", action="store_true", help="write one JSON document to standard output instead of the report"
    )
    if records:
        formats.add_argument("--csv", action="store_true", help="write the records to standard output as CSV rows, "
                             "one per model, instead of the report")
    parser.set_defaults(csv=False)


def _add_global_options(parser: argparse.ArgumentParser, *, on_command: bool) -> None:
    """--simulated, -v and -q, accepted before the command and after it: on a command's parser they leave what
    was given before the command alone unless given again."""
    def default(value: object) -> object:
        return argparse.SUPPRESS if on_command else value

    parser.add_argument("--simulated", metavar="DIR", type=Path, default=default(None),
                        help="use the simulated host, with an installation made in DIR and sample models to try in "
                        "DIR/models: Line1/Line1.tessel (a piping line) and Rack/Rack.tessel (a structure)")
    parser.add_argument("-v", "--verbose", action="count", default=default(0), help="log more (-vv: debug)")
    parser.add_argument("-q", "--quiet", action="store_true", default=default(False),
                        help="write no progress to standard error")


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
    """The model files MODEL arguments name, each once: `*`, `?`, `[...]` and `**` are expanded here, as a Windows
    shell does not. A pattern that matches no file, a folder and a missing file are a UsageError naming them all."""
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
    unique: dict[str, Path] = {}  # a model named twice (by a pattern, say) is solved once, where first named
    for model in models:
        unique.setdefault(os.path.normcase(os.path.realpath(model)), model)
    return list(unique.values())


def _presence(path: Path | None) -> str:
    if path is None:
        return "not set"
    return "found" if path.exists() else "missing"


def _settings_files(options: InstallationOptions) -> list[tuple[str, object, str]]:
    """The rows of the settings files setup reads: those the options name, or those at their fixed places."""
    fixed: tuple[str | None, str | None] = (None, None)
    with contextlib.suppress(ImportError):  # no bridge: the core cannot say where they are
        from . import veltrane_core

        fixed = (veltrane_core._settingsPath_, veltrane_core._dataSourcesPath_)
    rows: list[tuple[str, object, str]] = []
    for item, given, place in (("Tubrolis.settings", options.settings, fixed[0]),
                               ("DataSources.settings", options.data_sources, fixed[1])):
        path = given or (None if place is None else Path(place))
        rows.append((item, path or "(unknown without the bridge)", _presence(path)))
    return rows


def _run_check(args: argparse.Namespace) -> int:
    options = installation_options(args)
    directory = options.installation
    rows: list[tuple[str, object, str]] = [
        ("installation directory", directory, _presence(directory)),
        ("Extensions folder", directory / "Extensions", _presence(directory / "Extensions")),
    ]
    for name in SETUP_ASSEMBLIES + OTHER_ASSEMBLIES:
        places = [directory / "Extensions" / name, directory / name]
        found = next((place for place in places if place.exists()), None)
        rows.append((name, found or places[0], "found" if found else "missing"))
    set_up = all(status == "found" for _, _, status in rows[: 2 + len(SETUP_ASSEMBLIES)])
    rows += _settings_files(options)
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


def _relative(path: Path, folder: Path) -> str:
    """A result file as records name it: relative to the output folder, absolute outside it."""
    return path.relative_to(folder).as_posix() if path.is_relative_to(folder) else str(path)


def _run_solve(args: argparse.Namespace) -> int:
    from .batch import JobRecord
    from .batch._jobs import describe
    from .batch._records import tally

    models = expand_models(args.models)
    folders = _result_folders(models, args.output)
    output = Path.cwd() if args.output is None else args.output.absolute()
    records: list[JobRecord] = []
    shown: list[object] = []  # each record's result folder, for the table
    interrupted = False
    with open_session(args) as session:
        try:
            for index, (model, folder) in enumerate(zip(models, folders, strict=True), start=1):
                name = model.stem if folder is None else folder.name
                started = time.perf_counter()
                try:
                    result = session.solve(model, args.solver, args.sandbox, folder)
                except SolveError as error:
                    records.append(JobRecord(name, str(model.absolute()), error.solver, "failed",
                                             time.perf_counter() - started, error=describe(error), attempts=1,
                                             requested_solver=args.solver, reason=error.reason))
                    shown.append("-")
                    outcome = f"failed: {error}"
                else:
                    files = tuple(_relative(path, output) for path in result.result_files)
                    records.append(JobRecord(name, str(result.model), result.solver, "ok", result.seconds, files,
                                             attempts=1, requested_solver=args.solver))
                    shown.append(result.output_dir)
                    count = len(result.result_files)
                    outcome = f"ok, {count} result file{'' if count == 1 else 's'} in {result.output_dir}"
                progress(args, f"[{index}/{len(models)}] {model}: {outcome}")
        except KeyboardInterrupt:
            interrupted = True
            for number, model in enumerate(models[len(records) :]):
                status: Status = "pending" if number else "cancelled"
                records.append(JobRecord(model.stem, str(model.absolute()), args.solver, status,
                                         requested_solver=args.solver, reason="interrupted"))
                shown.append("-")
    solved = sum(record.status == "ok" for record in records)
    if args.json or args.csv:
        write_records(args, "solve", records, output, ok=solved == len(models), interrupted=interrupted)
    else:
        rows = [(Path(r.model).name, r.solver, r.status if r.status == "ok" else r.reason,
                 "-" if r.status != "ok" else f"{r.seconds:.2f}", folder)
                for r, folder in zip(records, shown, strict=True)]
        print(format_table(("model", "solver", "status", "seconds", "results"), rows))
        print(f"{solved} of {len(models)} solved")
    if interrupted:
        print(f"interrupted: {tally(tuple(records))}", file=sys.stderr)
        return INTERRUPTED
    return OK if solved == len(models) else FAILED


def write_records(args: argparse.Namespace, command: str, records: Sequence[JobRecord], output: Path,
                   **document: Any) -> None:
    """The records on standard output: as rows with --csv (their `result_files` joined by ";"), else as one
    JSON document: the command, what `document` holds, the output folder and the records."""
    from .batch._records import RECORD_FIELDS, record_data

    if args.csv:
        writer = csv.DictWriter(sys.stdout, RECORD_FIELDS, lineterminator="\n")
        writer.writeheader()
        for record in records:
            writer.writerow({**record_data(record), "result_files": ";".join(record.result_files)})
    else:
        print_json({"command": command, **document, "output_dir": output,
                    "records": [record_data(record) for record in records]})


def _host_classes(session: Session) -> list[str]:
    """The full names of the host classes in the installation's assemblies, sorted."""
    from . import veltrane_core as core
    from ._core_calls import core_output

    found = []
    with core_output():
        for assembly in SETUP_ASSEMBLIES + OTHER_ASSEMBLIES:
            namespace = assembly.removesuffix(".dll")
            try:
                core.load_dll(assembly)
                module = importlib.import_module(namespace)
            except Exception:  # not an assembly of this installation, or not a namespace of its own
                continue
            found += [f"{namespace}.{name}" for name in dir(module)
                      if not name.startswith("_") and isinstance(getattr(module, name, None), type)]
    return sorted(set(found))


def _run_inspect(args: argparse.Namespace) -> int:
    if (args.class_name is None) == (not args.list):
        raise UsageError("name a CLASS, or --list the classes")
    with open_session(args) as session:
        if args.list:
            classes = _host_classes(session)
        else:
            try:
                description = session.inspect_class(args.class_name)
            except LookupError as error:
                raise UsageError(f"CLASS: {error}{_did_you_mean(args.class_name, _host_classes(session))}") from None
    if args.list:
        if args.json:
            print_json({"command": "inspect", "ok": True, "classes": classes})
        else:
            print("\n".join(classes))
    elif args.json:
        print_json({"command": "inspect", "ok": True, "class": args.class_name, "description": json.loads(description)})
    else:
        print(description)
    return OK


def _did_you_mean(name: str, classes: Sequence[str]) -> str:
    """"; did you mean 'Model'?" for a name close to a class's short or full name, and where to find them."""
    names = {full.rpartition(".")[2]: full for full in classes} | {full: full for full in classes}
    same = [short for short in names if short.casefold() == name.casefold()]
    close = same or difflib.get_close_matches(name, list(names), n=3, cutoff=0.75)
    suggestion = f"; did you mean {' or '.join(map(repr, close))}?" if close else ""
    return f"{suggestion} (`inspect --list` lists the classes)"


def add_command(
    commands: SubParsers, name: str, handler: Callable[[argparse.Namespace], int], summary: str, description: str
) -> argparse.ArgumentParser:
    """A sub-command's parser, whose ``handler`` takes the parsed arguments and answers the exit status."""
    parser: argparse.ArgumentParser = commands.add_parser(
        name, help=summary, description=description, epilog=EPILOG, formatter_class=argparse.RawDescriptionHelpFormatter
    )
    parser.set_defaults(handler=handler)
    _add_global_options(parser, on_command=True)
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
    add_output_options(parser, records=True)


def _add_inspect(commands: SubParsers) -> None:
    description = ("Print the JSON description (properties, methods, constructors) of the host class CLASS, or list "
                   "the classes (--list).")
    parser = add_command(commands, "inspect", _run_inspect, "the JSON description of a host class", description)
    parser.add_argument("class_name", metavar="CLASS", nargs="?",
                        help="short or full name: Model, Veltrane.Tubrolis.Core.Model")
    parser.add_argument("--list", action="store_true", help="list the classes of the installation's assemblies")
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
    add_output_options(parser, records=True)


def _run_batch(args: argparse.Namespace) -> int:
    """`veltrane batch`: 0 when every model is solved, 1 when one failed; bad input is a UsageError."""
    from .batch import BatchError, BatchInterrupted, run_batch
    from .batch._records import tally

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
        print(f"interrupted: {tally(interrupt.report.records)}; run the same command again to resume", file=sys.stderr)
        return INTERRUPTED
    _report_batch(args, report, interrupted=False)
    return OK if report.ok else FAILED


def _report_batch(args: argparse.Namespace, report: BatchReport, interrupted: bool) -> None:
    """The batch's summary, its records as CSV, or its JSON document."""
    from .batch import summary

    if args.json or args.csv:
        write_records(args, "batch", report.records, report.output_dir, ok=report.ok and not interrupted,
                       interrupted=interrupted, skipped=report.skipped, seconds=report.seconds, notes=report.notes)
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
    _add_global_options(parser, on_command=False)
    commands = parser.add_subparsers(dest="command", metavar="COMMAND", required=True)
    for register in REGISTRARS:
        register(commands)
    return parser


class _ForgivingStream:
    """A standard stream that writes what its encoding cannot hold as replacement characters, and whose reader
    may go away (``| head``): from then on what is written there is dropped, so that the command ends its work
    and exits with the status of that work, whenever the reader went."""

    def __init__(self, stream: TextIO) -> None:
        self._stream = stream
        self._errors = getattr(stream, "errors", None)
        if hasattr(stream, "reconfigure"):
            stream.reconfigure(errors="replace")

    def write(self, text: str) -> int:
        try:
            return self._stream.write(text)
        except OSError as error:
            self._reader_gone(error)
            return len(text)

    def flush(self) -> None:
        try:
            self._stream.flush()
        except OSError as error:
            self._reader_gone(error)

    def __getattr__(self, name: str) -> Any:
        return getattr(self._stream, name)

    def restore(self) -> TextIO:
        """The stream as it was, flushed (the interpreter's last flush must not meet a reader gone)."""
        self.flush()
        if hasattr(self._stream, "reconfigure"):
            with contextlib.suppress(ValueError):  # closed meanwhile
                self._stream.reconfigure(errors=self._errors)
        return self._stream

    def _reader_gone(self, error: OSError) -> None:
        # Windows reports a pipe whose reader is gone as EINVAL.
        if not isinstance(error, BrokenPipeError) and not (sys.platform == "win32" and error.errno == errno.EINVAL):
            raise error
        os.dup2(os.open(os.devnull, os.O_WRONLY), self._stream.fileno())  # what the buffer holds goes there too


@contextlib.contextmanager
def _forgiving_streams() -> Iterator[None]:
    """Standard output and error as :class:`_ForgivingStream` meanwhile."""
    if sys.stdout is None or sys.stderr is None:  # pythonw: no console to write to
        yield
        return
    stdout, stderr = _ForgivingStream(sys.stdout), _ForgivingStream(sys.stderr)
    sys.stdout, sys.stderr = cast(TextIO, stdout), cast(TextIO, stderr)
    try:
        yield
    finally:
        sys.stdout, sys.stderr = stdout.restore(), stderr.restore()


def main(argv: Sequence[str] | None = None) -> int:
    """Run the command line; returns the exit status (see :data:`EXIT_STATUSES`)."""
    with _forgiving_streams():
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
