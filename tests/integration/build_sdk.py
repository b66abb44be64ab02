"""The C# stand-ins of the application's assemblies, compiled with mcs for
the runtime the bridge starts (Mono, or .NET Core, which has neither
System.Web.Extensions nor WPF's Point):

    python3 build_sdk.py mono|coreclr|netfx OUT_DIR

The Windows run under wine builds them so on Linux, where mcs is."""

from __future__ import annotations

import os
import subprocess
import sys

SOURCES = os.path.join(os.path.dirname(os.path.abspath(__file__)), "sdk")

# Assembly -> (sources, references), in the order they must be compiled.
ASSEMBLIES = {
    "Veltrane.Helper.dll": (["Helper.cs"], []),
    "Veltrane.SDK.dll": (["Sdk.cs"], []),
    "Veltrane.Tubrolis.Core.dll": (["Core.cs"], ["Veltrane.SDK.dll", "Veltrane.Helper.dll"]),
    "Veltrane.Vazer.Core.dll": (["Vazer.cs"], ["Veltrane.SDK.dll", "Veltrane.Tubrolis.Core.dll"]),
    "Veltrane.DiroZiziva.Core.dll": (
        ["DiroZiziva.cs"], ["Veltrane.SDK.dll", "Veltrane.Tubrolis.Core.dll", "Veltrane.Helper.dll"]),
    "Veltrane.Tubrolis.Project.dll": (["Project.cs"], ["Veltrane.SDK.dll", "Veltrane.Helper.dll"]),
}


def sources_and_references(assembly: str, runtime: str) -> tuple[list[str], list[str]]:
    """The project types use the real Point of WindowsBase where the runtime
    has it (Mono, .NET Framework), and a Point of their own on .NET Core."""
    sources, references = ASSEMBLIES[assembly]
    if assembly == "Veltrane.Tubrolis.Project.dll":
        return (sources + ["Point.cs"], references) if runtime == "coreclr" else (sources, references + ["WindowsBase"])
    return sources, references


def build(out: str, runtime: str) -> None:
    os.makedirs(out, exist_ok=True)
    for assembly in ASSEMBLIES:
        sources, references = sources_and_references(assembly, runtime)
        done = subprocess.run(
            ["mcs", "-nologo", "-target:library", f"-out:{os.path.join(out, assembly)}",
             *[f"-r:{os.path.join(out, r)}" if r.endswith(".dll") else f"-r:{r}" for r in references],
             *[os.path.join(SOURCES, source) for source in sources]],
            capture_output=True, text=True)
        if done.returncode:
            raise RuntimeError(f"mcs failed on {assembly}:\n{done.stdout}{done.stderr}")


if __name__ == "__main__":
    build(sys.argv[2], sys.argv[1])
