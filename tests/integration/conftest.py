"""The integration suite: the compiled module through the real bridge
(pythonnet, with pywin32's pythoncom on Windows) against C# stand-ins of the
application's assemblies, on the runtime PYTHONNET_RUNTIME names: Mono (the
default off Windows) or .NET Core ("coreclr", found through dotnetcore2 or
PYTHONNET_CORECLR_DOTNET_ROOT).

The bridge binds once per process and must never be imported by pytest's
own process (which runs on the simulated host), so scenarios run in child
processes (child.py), whose output goes to files: a pipe may be held open by
a process the child starts (wine's desktop, say). Without the runtime, mcs
or pythonnet the suite skips; under CI (CI=true) it fails instead, since CI
installs them all."""

from __future__ import annotations

import importlib.util
import json
import os
import shutil
import signal
import subprocess
import sys
from typing import Any, Iterator

import build_sdk
import pytest


# A run started in the background by a shell without job control ignores SIGINT, and its
# children would inherit that; the tests that send Ctrl-C need it delivered.
if signal.getsignal(signal.SIGINT) == signal.SIG_IGN:
    signal.signal(signal.SIGINT, signal.default_int_handler)

HERE = os.path.dirname(os.path.abspath(__file__))
RUNTIME_CONFIG = {"runtimeOptions": {"tfm": "netcoreapp3.1",
                                     "framework": {"name": "Microsoft.NETCore.App", "version": "3.1.0"}}}


def bridge_runtime() -> str:
    """The runtime pythonnet starts: PYTHONNET_RUNTIME, else its default."""
    return os.environ.get("PYTHONNET_RUNTIME") or ("netfx" if sys.platform == "win32" else "mono")


def dotnet_root() -> str:
    """Where .NET Core is: PYTHONNET_CORECLR_DOTNET_ROOT, else the dotnetcore2 package's copy, else ""."""
    given = os.environ.get("PYTHONNET_CORECLR_DOTNET_ROOT", "")
    spec = None if given else importlib.util.find_spec("dotnetcore2")
    if spec is not None and spec.submodule_search_locations:
        return os.path.join(list(spec.submodule_search_locations)[0], "bin")
    return given


def missing_bridge() -> str:
    """Why the real bridge cannot run here, or ""."""
    runtime = bridge_runtime()
    if not (os.environ.get("VELTRANE_STAND_INS") or shutil.which("mcs")):
        return "mcs is not installed: apt-get install -y --no-install-recommends mono-devel"
    if runtime == "mono" and not shutil.which("mono"):
        return "Mono is not installed: apt-get install -y --no-install-recommends mono-devel"
    if runtime == "coreclr" and not os.path.isdir(dotnet_root()):
        return ".NET Core is not found: python3 -m pip install dotnetcore2==3.1.23"
    if importlib.util.find_spec("pythonnet") is None:
        return "pythonnet is not installed: python3 -m pip install pythonnet"
    if sys.platform == "win32" and importlib.util.find_spec("pythoncom") is None:
        return "pywin32 is not installed: python -m pip install pywin32"
    return ""


@pytest.fixture(scope="session")
def bridge(tmp_path_factory) -> Iterator[None]:
    """The real bridge's runtime, told to the children through their environment."""
    reason = missing_bridge()
    if reason and os.environ.get("CI") == "true":
        pytest.fail(reason)
    if reason:
        pytest.skip(reason)
    with pytest.MonkeyPatch.context() as patch:
        if bridge_runtime() == "coreclr":
            patch.setenv("PYTHONNET_CORECLR_DOTNET_ROOT", dotnet_root())
            if not os.environ.get("PYTHONNET_CORECLR_RUNTIME_CONFIG"):
                config = tmp_path_factory.mktemp("runtime") / "runtimeconfig.json"
                config.write_text(json.dumps(RUNTIME_CONFIG), encoding="utf-8")
                patch.setenv("PYTHONNET_CORECLR_RUNTIME_CONFIG", str(config))
        yield


@pytest.fixture(scope="session")
def stand_ins(bridge, tmp_path_factory) -> str:
    """The stand-in assemblies: built already (VELTRANE_STAND_INS), else compiled now."""
    built = os.environ.get("VELTRANE_STAND_INS")
    if built:
        return built
    out = str(tmp_path_factory.mktemp("assemblies"))
    build_sdk.build(out, bridge_runtime())
    return out


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
    with open(os.path.join(root, "child.log"), "w+", encoding="utf-8", errors="replace") as log:
        done = subprocess.run(child_command(host, str(root), out, scenarios, assemblies), cwd=root,
                              env=child_environment(), stdin=subprocess.DEVNULL, stdout=log, stderr=subprocess.STDOUT,
                              timeout=300)
        log.seek(0)
        printed = log.read()
    assert done.returncode == 0, printed
    assert "fatal" not in printed.lower(), printed
    with open(out, encoding="utf-8") as f:
        return json.load(f)
