"""The integration suite: the compiled module through the real bridge
(pythonnet on Mono) against C# stand-ins of the application's assemblies.

The bridge binds once per process and must never be imported by pytest's
own process (which runs on the simulated host), so scenarios run in child
processes (child.py). Without Mono or pythonnet the suite skips; under CI
(CI=true) it fails instead, since CI installs both."""

from __future__ import annotations

import importlib.util
import json
import os
import shutil
import signal
import subprocess
import sys
from typing import Any

import pytest


# A run started in the background by a shell without job control ignores SIGINT, and its
# children would inherit that; the tests that send Ctrl-C need it delivered.
if signal.getsignal(signal.SIGINT) == signal.SIG_IGN:
    signal.signal(signal.SIGINT, signal.default_int_handler)

HERE = os.path.dirname(os.path.abspath(__file__))
SOURCES = os.path.join(HERE, "sdk")

# Assembly -> (source, references), in the order they must be compiled.
ASSEMBLIES = {
    "Veltrane.Helper.dll": ("Helper.cs", []),
    "Veltrane.SDK.dll": ("Sdk.cs", ["System.Web.Extensions"]),
    "Veltrane.Tubrolis.Core.dll": ("Core.cs", ["Veltrane.SDK.dll", "Veltrane.Helper.dll"]),
    "Veltrane.Vazer.Core.dll": ("Vazer.cs", ["Veltrane.SDK.dll", "Veltrane.Tubrolis.Core.dll"]),
    "Veltrane.DiroZiziva.Core.dll": (
        "DiroZiziva.cs", ["Veltrane.SDK.dll", "Veltrane.Tubrolis.Core.dll", "Veltrane.Helper.dll"]),
    "Veltrane.Tubrolis.Project.dll": ("Project.cs", ["Veltrane.SDK.dll", "Veltrane.Helper.dll", "WindowsBase"]),
}


def missing_bridge() -> str:
    """Why the real bridge cannot run here, or ""."""
    if not (shutil.which("mono") and shutil.which("mcs")):
        return "Mono (mono, mcs) is not installed: apt-get install -y --no-install-recommends mono-devel"
    if importlib.util.find_spec("pythonnet") is None:
        return "pythonnet is not installed: python3 -m pip install pythonnet"
    return ""


@pytest.fixture(scope="session")
def bridge() -> None:
    reason = missing_bridge()
    if reason and os.environ.get("CI") == "true":
        pytest.fail(reason)
    if reason:
        pytest.skip(reason)


@pytest.fixture(scope="session")
def stand_ins(bridge, tmp_path_factory) -> str:
    """The stand-in assemblies, compiled from their C# sources."""
    out = tmp_path_factory.mktemp("assemblies")
    for assembly, (source, references) in ASSEMBLIES.items():
        subprocess.run(["mcs", "-nologo", "-target:library", f"-out:{out / assembly}",
                        *[f"-r:{out / r}" if r.endswith(".dll") else f"-r:{r}" for r in references],
                        os.path.join(SOURCES, source)], check=True, capture_output=True, text=True)
    return str(out)


def child_command(host: str, root: str, out: str, scenarios: list[str], assemblies: str = "",
                  delay_ms: int = 0) -> list[str]:
    return [sys.executable, os.path.join(HERE, "child.py"), "--host", host, "--root", root, "--out", out,
            "--assemblies", assemblies, "--delay", str(delay_ms), *scenarios]


def child_environment() -> dict[str, str]:
    """The child imports the module and veltrane_sim from where this process found them."""
    found = []
    for package in ("veltrane_computer", "veltrane_sim"):
        spec = importlib.util.find_spec(package)
        assert spec is not None and spec.submodule_search_locations, package
        found.append(os.path.dirname(list(spec.submodule_search_locations)[0]))
    path = [*dict.fromkeys(found), *filter(None, os.environ.get("PYTHONPATH", "").split(os.pathsep))]
    return {**os.environ, "PYTHONPATH": os.pathsep.join(path)}


def run_scenarios(root, host: str, scenarios: list[str], assemblies: str = "") -> dict[str, Any]:
    """Runs scenarios in one child process; returns what each observed."""
    out = os.path.join(root, "observations.json")
    done = subprocess.run(child_command(host, str(root), out, scenarios, assemblies), cwd=root,
                          env=child_environment(), capture_output=True, text=True, timeout=300)
    assert done.returncode == 0, done.stderr
    assert "fatal" not in done.stderr.lower(), done.stderr
    with open(out, encoding="utf-8") as f:
        return json.load(f)
