"""The ``veltrane`` command (also ``python -m veltrane_computer``).

    veltrane check "C:\\Program Files\\Veltrane\\Tubrolis 2025.1"
    veltrane solve D:\\Work\\Line1\\Line1.tessel --installation "C:\\...\\Tubrolis 2025.1" --solver DiroZiziva
    veltrane inspect Model --installation "C:\\...\\Tubrolis 2025.1"
    veltrane --simulated /tmp/sim solve model.tessel      # against the simulated host

Each sub-command is added by a registrar in :data:`REGISTRARS`: a function that
adds its parser to the sub-parsers and sets ``handler`` (``args -> exit status``)
as the parser's default. :func:`add_installation_options` and :func:`open_session`
give a sub-command the installation options and the session they open.
Exit status: 0 success, 1 a model or a check failed, 2 bad input.
"""

from __future__ import annotations

import argparse
import logging
import os
import sys
from collections.abc import Callable, Sequence
from pathlib import Path
from typing import TYPE_CHECKING, Any, NamedTuple

from . import __version__
from ._tables import format_table
from .session import SOLVERS, SetupError, SolveError

if TYPE_CHECKING:
    from .session import Session

__all__ = [
    "main",
    "REGISTRARS",
    "CommandError",
    "add_command",
    "add_model_options",
    "add_installation_options",
    "installation_options",
    "open_session",
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


class CommandError(Exception):
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
    """What the installation options name; Session.open takes them."""

    installation: Path
    settings: Path | None
    data_sources: Path | None


def installation_options(args: argparse.Namespace) -> InstallationOptions:
    """The installation the options name (the simulated one with --simulated, settings files included)."""
    if args.simulated is not None:
        if args.installation is not None:
            raise CommandError(f"{args.installation_option} {args.installation}: not with --simulated")
        from .simulated import simulated_installation

        simulated = simulated_installation(args.simulated)
        return InstallationOptions(
            simulated.installation, args.settings or simulated.settings, args.data_sources or simulated.data_sources
        )
    if args.installation is None:
        raise CommandError(f"{args.installation_option} is required (or --simulated DIR)")
    return InstallationOptions(args.installation, args.settings, args.data_sources)


def open_session(args: argparse.Namespace) -> Session:
    """The session the installation options describe; bad options are a CommandError."""
    from .session import Session

    options = installation_options(args)
    try:
        return Session.open(options.installation, args.module, options.settings, options.data_sources)
    except SetupError as error:
        raise CommandError(str(error)) from error


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
    ok = all(status == "found" for _, _, status in rows[: 2 + len(SETUP_ASSEMBLIES)])
    notes: list[str] = []
    try:
        session = open_session(args)
    except (CommandError, ModuleNotFoundError) as error:
        rows.append(("setup", error, "failed"))
        ok = False
        notes = getattr(error, "__notes__", [])
    else:
        with session:
            rows.append(("setup", directory, "succeeded"))
            for solver, path in session.solver_paths.items():
                rows.append((f"{solver} solver", path or "(not set in the settings)", _presence(path)))
            rows.append(("data folder", session.data_directory, _presence(session.data_directory)))
            rows.append(("projects folder", session.projects_directory, _presence(session.projects_directory)))
    print(format_table(("item", "path", "status"), rows))
    print("setup would succeed" if ok else "\n".join(["setup would fail", *notes]))
    return 0 if ok else 1


def _run_solve(args: argparse.Namespace) -> int:
    total = len(args.models)
    rows: list[tuple[object, ...]] = []
    failures = 0
    with open_session(args) as session:
        for index, model in enumerate(args.models, start=1):
            output = None if args.output is None else args.output / model.stem
            try:
                result = session.solve(model, args.solver, args.sandbox, output)
            except SolveError as error:
                failures += 1
                outcome = f"failed: {error}"
                rows.append((model.name, error.solver, error.reason, "-", "-"))
            else:
                count = len(result.result_files)
                outcome = f"ok, {count} result file{'' if count == 1 else 's'} in {result.output_dir}"
                rows.append((model.name, result.solver, "ok", f"{result.seconds:.2f}", result.output_dir))
            print(f"[{index}/{total}] {model}: {outcome}", flush=True)
    print()
    print(format_table(("model", "solver", "status", "seconds", "results"), rows))
    print(f"{total - failures} of {total} solved")
    return 1 if failures else 0


def _run_inspect(args: argparse.Namespace) -> int:
    with open_session(args) as session:
        try:
            print(session.inspect_class(args.class_name))
        except LookupError as error:
            raise CommandError(f"CLASS: {error}") from error
    return 0


def add_command(
    commands: SubParsers, name: str, handler: Callable[[argparse.Namespace], int], summary: str, description: str
) -> argparse.ArgumentParser:
    """A sub-command's parser, whose ``handler`` takes the parsed arguments and answers the exit status."""
    parser: argparse.ArgumentParser = commands.add_parser(name, help=summary, description=description)
    parser.set_defaults(handler=handler)
    return parser


def add_model_options(parser: argparse.ArgumentParser) -> None:
    """MODEL... and --solver."""
    parser.add_argument("models", metavar="MODEL", nargs="+", type=Path, help="a .tessel model file")
    parser.add_argument("--solver", default="Vazer", choices=SOLVERS, help="default %(default)s (structure: Vazer)")


def _add_check(commands: SubParsers) -> None:
    description = (
        "Report what setup would find: directories, settings files, assemblies, solver paths, data and projects "
        "folders. Exit status 0 only when setup would succeed."
    )
    parser = add_command(commands, "check", _run_check, "what setup would find in an installation", description)
    add_installation_options(parser, positional=True)


def _add_solve(commands: SubParsers) -> None:
    description = (
        "Solve each MODEL in turn; its result files are copied to a folder beside it named <model>.results "
        "(or to DIR/<model> with --output). Exit status 1 when any model failed."
    )
    parser = add_command(commands, "solve", _run_solve, "solve models, copying their result files out", description)
    add_model_options(parser)
    add_installation_options(parser)
    place = parser.add_mutually_exclusive_group()
    place.add_argument("--sandbox", dest="sandbox", action="store_true", default=True, help="solve a copy (default)")
    place.add_argument("--in-place", dest="sandbox", action="store_false", help="solve in the model's folder")
    parser.add_argument("--output", metavar="DIR", type=Path, help="put each model's results in DIR/<model>")


def _add_inspect(commands: SubParsers) -> None:
    description = "Print the JSON description (properties, methods, constructors) of the host class CLASS."
    parser = add_command(commands, "inspect", _run_inspect, "the JSON description of a host class", description)
    parser.add_argument("class_name", metavar="CLASS", help="short or full name: Model, Veltrane.Tubrolis.Core.Model")
    add_installation_options(parser)


def _add_batch(commands: SubParsers) -> None:
    description = (
        "Solve each MODEL in a pool of worker processes, each set up once, or on a Dask cluster; the results of a "
        "model go to DIR/<model> and DIR/manifest.json records every job. Running the same batch again skips the "
        "models solved, unless they changed (or with --rerun). Exit status 1 when any model failed."
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


def _run_batch(args: argparse.Namespace) -> int:
    """`veltrane batch`: 0 when every model is solved, 1 when one failed; bad input is a CommandError."""
    from .batch import BatchError, run_batch, summary
    from .simulated import simulated_installation

    options = installation_options(args)
    installation = simulated_installation(args.simulated) if args.simulated else options.installation
    try:
        report = run_batch(args.models, installation, workers=args.workers, scheduler=args.scheduler,
                           output_dir=args.output, solver=args.solver, timeout=args.timeout, retries=args.retries,
                           rerun=args.rerun, module=args.module, settings=options.settings,
                           data_sources=options.data_sources)
    except BatchError as error:
        raise CommandError(str(error)) from None
    print(summary(report))
    return 0 if report.ok else 1


# Sub-commands, in the order --help lists them. Other modules may add theirs here.
REGISTRARS: list[Registrar] = [_add_check, _add_solve, _add_inspect, _add_batch]


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="veltrane", description="Check installations, solve models and inspect host classes."
    )
    parser.add_argument("--version", action="version", version=f"%(prog)s {__version__}")
    parser.add_argument(
        "--simulated", metavar="DIR", type=Path, help="use the simulated host, with an installation made in DIR"
    )
    parser.add_argument("-v", "--verbose", action="count", default=0, help="log more (-vv: debug)")
    commands = parser.add_subparsers(dest="command", metavar="COMMAND", required=True)
    for register in REGISTRARS:
        register(commands)
    return parser


def main(argv: Sequence[str] | None = None) -> int:
    """Run the command line; returns the exit status."""
    parser = build_parser()
    args = parser.parse_args(argv)
    logging.basicConfig(format="%(levelname)s: %(message)s")
    if args.verbose:
        logging.getLogger("veltrane_computer").setLevel(logging.DEBUG if args.verbose > 1 else logging.INFO)
    try:
        status: int = args.handler(args)
    except CommandError as error:
        parser.exit(2, f"{parser.prog} {args.command}: error: {error}\n")
    except ModuleNotFoundError as error:
        notes = "".join(f"\n{note}" for note in getattr(error, "__notes__", ()))
        parser.exit(1, f"{parser.prog} {args.command}: error: {error}{notes}\n")
    except BrokenPipeError:  # the reader went away (| head): stop quietly
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return 1
    return status


if __name__ == "__main__":
    sys.exit(main())
