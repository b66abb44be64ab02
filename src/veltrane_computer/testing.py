"""A pytest plugin for testing scripts that drive the application, without the application.

It comes with the package (the ``pytest11`` entry point), so its fixtures are
there in every test of a project that installs veltrane_computer::

    def test_heavier_loads_deflect_more(veltrane_model):
        model = veltrane_model("piping")
        light = model.solve().result_files
        model.run("ScaleLoads", Factor=3.0)
        model.save()
        ...

- ``veltrane_installation``: a simulated installation laid out in the test's
  ``tmp_path``: ``Session.open(veltrane_installation)``, ``Session.open(**veltrane_installation)``
  and ``run_batch(jobs, veltrane_installation, ...)`` take it;
- ``veltrane_session``: a :class:`~veltrane_computer.session.Session` open on it;
- ``veltrane_model``: a factory, ``veltrane_model("piping" | "structure", name=None)``,
  answering a saved :class:`~veltrane_computer.model.Model` with geometry and loads
  (annotate the argument with :class:`ModelFactory`);
- ``veltrane_switches``: the simulated host's outcomes: solve time, a hang, a
  crash, a solver failure (they reach batch workers too).

Nothing is imported, and the simulated host is not activated, until a test
asks for one of these fixtures. Once activated, the simulated host stands in
for the bridge for the rest of the test run; the core's globals and the
simulated host's current installation and switches are put back after each test.
"""

from __future__ import annotations

import contextlib
import os
from collections.abc import Iterator
from types import ModuleType
from typing import TYPE_CHECKING, Protocol

import pytest

if TYPE_CHECKING:
    from .model import Kind, Model
    from .session import Session
    from .simulated import SimulatedInstallation

__all__ = [
    "HostSwitches",
    "ModelFactory",
    "kept_globals",
    "veltrane_installation",
    "veltrane_session",
    "veltrane_model",
    "veltrane_switches",
]

# The model each kind's factory call makes when no name is given.
_DEFAULT_NAMES = {"piping": "Line1", "structure": "Rack"}


class ModelFactory(Protocol):
    """The type of the ``veltrane_model`` fixture: ``def test_x(veltrane_model: ModelFactory) -> None``."""

    def __call__(self, kind: Kind = "piping", name: str | None = None) -> Model:
        """A saved model of that kind with geometry and loads, in a folder of its own named ``name``."""
        ...


class HostSwitches:
    """The simulated host's outcomes for a test; each lasts until the test ends.

    ``models`` is an fnmatch pattern of the name of the file a solver reads: the model's name for
    Vazer, its input file's for DiroZiziva (``conception`` for a model without a .fre of its own).
    The switches are environment variables, so batch workers the test starts see them too.
    """

    def __init__(self, monkeypatch: pytest.MonkeyPatch) -> None:
        self._monkeypatch = monkeypatch
        self._seconds = 0.0

    @property
    def solve_seconds(self) -> float:
        """How long each solve takes (default 0)."""
        return self._seconds

    @solve_seconds.setter
    def solve_seconds(self, seconds: float) -> None:
        self._monkeypatch.setenv("VELTRANE_SIM_SOLVE_SECONDS", repr(float(seconds)))
        self._seconds = float(seconds)

    def hang(self, models: str = "*") -> None:
        """Solves of matching models never end."""
        self._monkeypatch.setenv("VELTRANE_SIM_SOLVE_HANG", models)

    def crash(self, models: str = "*") -> None:
        """Solves of matching models end their whole process (use it with batches)."""
        self._monkeypatch.setenv("VELTRANE_SIM_SOLVE_CRASH", models)

    def fail(self, models: str = "*") -> None:
        """The solver runs on matching models and fails: no solution, no result files."""
        self._monkeypatch.setenv("VELTRANE_SIM_SOLVE_FAIL", models)


@contextlib.contextmanager
def kept_globals(module: ModuleType) -> Iterator[None]:
    """Puts the module's globals back as they were, when the block ends: the core keeps its state there."""
    saved = dict(vars(module))
    try:
        yield
    finally:
        namespace = vars(module)
        for name in [name for name in namespace if name not in saved]:
            del namespace[name]
        namespace.update(saved)


@pytest.fixture
def veltrane_switches(monkeypatch: pytest.MonkeyPatch) -> HostSwitches:
    """The simulated host's switches: solve time, hang, crash, solver failure."""
    return HostSwitches(monkeypatch)


@contextlib.contextmanager
def _kept_host() -> Iterator[None]:
    """Puts back the simulated host's current installation and its switches when the block ends:
    a test suite may have set the host up on an installation of its own."""
    import copy

    import veltrane_sim

    current = veltrane_sim.current_installation()
    switches = {name: copy.deepcopy(value) for name, value in vars(veltrane_sim.switches).items() if name != "_lock"}
    try:
        yield
    finally:
        veltrane_sim.use_installation(current)
        for name, value in switches.items():
            object.__setattr__(veltrane_sim.switches, name, value)


@pytest.fixture
def veltrane_installation(
    tmp_path: os.PathLike[str], monkeypatch: pytest.MonkeyPatch
) -> Iterator[SimulatedInstallation]:
    """A simulated installation in the test's temporary folder; the core's globals, the simulated host's
    current installation and its switches are put back afterwards. The state folder where earlier versions
    recorded results folders is looked for there too, not the user's."""
    from .simulated import simulated_installation

    monkeypatch.setenv("VELTRANE_STATE_DIR", os.path.join(tmp_path, "veltrane-state"))
    with _kept_host():
        installation = simulated_installation(os.path.join(tmp_path, "veltrane"))
        import veltrane_sim

        from . import veltrane_core as core

        with kept_globals(core):
            veltrane_sim.reset()
            try:
                yield installation
            finally:
                core.disposeSolution()
                veltrane_sim.reset()


@pytest.fixture
def veltrane_session(veltrane_installation: SimulatedInstallation) -> Iterator[Session]:
    """A session open on the simulated installation, closed after the test."""
    from .session import Session

    with Session.open(veltrane_installation) as session:
        yield session


@pytest.fixture
def veltrane_model(veltrane_session: Session, tmp_path: os.PathLike[str]) -> ModelFactory:
    """``veltrane_model(kind="piping", name=None)``: a model with geometry and loads, saved in a folder
    of its own under ``tmp_path/models`` (named Line1 or Rack by default)."""
    import veltrane_sim

    from .model import checked_kind

    def make(kind: Kind = "piping", name: str | None = None) -> Model:
        checked = checked_kind(kind)
        stem = _DEFAULT_NAMES[checked] if name is None else name
        folder = os.path.join(tmp_path, "models", stem)
        os.makedirs(folder)  # FileExistsError: each model gets a folder of its own
        path = os.path.join(folder, f"{stem}.tessel")
        veltrane_sim.write_tessel(path, checked)
        return veltrane_session.open_model(path)

    return make
