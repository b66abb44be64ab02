"""Runs scenarios in a process of its own, bound to one host, and writes what
a caller saw to a JSON file.

    python child.py --host real|sim --root DIR --assemblies DIR --out FILE [--delay MS] SCENARIO...

The real host is pythonnet's clr (on the runtime PYTHONNET_RUNTIME names) and
pywin32's pythoncom on Windows, with the C# stand-in assemblies
(compiled into --assemblies); the simulated one is veltrane_sim. Each binds
once per process, which is why scenarios run here rather than in pytest.
"""

from __future__ import annotations

import argparse
import json
import os
import shutil
import sys
import traceback
import warnings

HERE = os.path.dirname(os.path.abspath(__file__))
SOLVER_KINDS = {"vazer_path": "Vazer", "diroziziva_path": "DiroZiziva"}


def bind_host(host: str) -> None:
    """Make `import clr` and `import pythoncom` find the chosen host."""
    if host == "real":
        if sys.platform != "win32":  # pywin32's pythoncom on Windows
            sys.path.insert(0, os.path.join(HERE, "standins"))
        warnings.filterwarnings("ignore", message="Hosting Mono versions before", category=UserWarning)
        import clr  # noqa: F401  (starts the runtime now, so the warning filter applies)
    else:
        import veltrane_sim

        veltrane_sim.activate(force=True)


def lay_out(root: str, name: str, host: str, assemblies: str, delay_ms: int, **options):
    """An installation under root/name; for the real host its assemblies and
    solver executables are the stand-ins'."""
    import veltrane_sim

    real = host == "real"
    installation = veltrane_sim.make_installation(
        os.path.join(root, name), assemblies=() if real else None, current=options.pop("current", True), **options)
    if real:
        if options.get("extensions", True):
            for file_name in os.listdir(assemblies):
                shutil.copy(os.path.join(assemblies, file_name), installation.assembly_directory)
        for attribute, kind in SOLVER_KINDS.items():
            with open(getattr(installation, attribute), "w", encoding="utf-8") as f:
                f.write(f"VELTRANE-SOLVER {kind}\ndelay {delay_ms}\n")
    else:
        veltrane_sim.switches.solver_delay = delay_ms / 1000
    return installation


def main() -> int:
    parser = argparse.ArgumentParser()
    parser.add_argument("--host", choices=("real", "sim"), required=True)
    parser.add_argument("--root", required=True)
    parser.add_argument("--assemblies", default="")
    parser.add_argument("--out", required=True)
    parser.add_argument("--delay", type=int, default=0)
    parser.add_argument("scenarios", nargs="+")
    args = parser.parse_args()
    installation = lay_out(args.root, "inst", args.host, args.assemblies, args.delay)
    # Before the runtime starts: .NET Core reads the environment once.
    os.environ["VELTRANE_SETTINGS_DIRECTORY"] = installation.settings_directory
    bind_host(args.host)
    sys.path.insert(0, HERE)
    import scenarios
    from veltrane_computer import veltrane_core

    installation.bind(veltrane_core)
    context = scenarios.Context(
        veltrane_core, args.host, args.root, installation,
        lambda name, **options: lay_out(args.root, name, args.host, args.assemblies, args.delay, **options))
    results = {}
    for name in args.scenarios:
        try:
            getattr(scenarios, name)(context)
        except BaseException:  # a broken scenario is reported, and the others still run
            context.note("unexpected error", traceback.format_exc())
        results[name] = context.take()
    with open(args.out, "w", encoding="utf-8") as f:
        json.dump(results, f, indent=1)
    return 0


if __name__ == "__main__":
    sys.exit(main())
