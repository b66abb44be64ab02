"""Run the package against the simulated host, with an installation laid out in a folder.

    from veltrane_computer.session import Session
    from veltrane_computer.simulated import simulated_installation

    simulated = simulated_installation("/tmp/veltrane")
    with Session.open(simulated) as session:     # or Session.open(**simulated)
        ...

Call :func:`simulated_installation` in each process that uses the simulated host
(spawned workers too), before the core is first imported there.
:func:`sample_models` lays out models with geometry to work on.
"""

from __future__ import annotations

import os
from collections.abc import Iterator, Mapping
from dataclasses import dataclass, fields
from pathlib import Path
from typing import Literal

__all__ = ["SimulatedInstallation", "simulated_installation", "sample_models", "SAMPLE_MODELS"]

# The sample models: name -> kind. Each lives in a folder of its own, as models should.
SAMPLE_MODELS: dict[str, Literal["piping", "structure"]] = {"Line1": "piping", "Rack": "structure"}


@dataclass(frozen=True)
class SimulatedInstallation(Mapping[str, Path]):
    """Where a simulated installation lives. :meth:`Session.open` takes it as it is, or spread as its
    keywords (``Session.open(**simulated)``): it maps ``installation``, ``settings`` and ``data_sources``
    to their paths."""

    installation: Path
    settings: Path
    data_sources: Path

    def __getitem__(self, key: str) -> Path:
        if key not in self._keys():
            raise KeyError(key)
        path: Path = getattr(self, key)
        return path

    def __iter__(self) -> Iterator[str]:
        return iter(self._keys())

    def __len__(self) -> int:
        return len(self._keys())

    @classmethod
    def _keys(cls) -> tuple[str, ...]:
        return tuple(field.name for field in fields(cls))


def simulated_installation(directory: str | os.PathLike[str]) -> SimulatedInstallation:
    """Activate the simulated host (even where a real bridge exists: the caller asked for the
    simulation) and lay out an installation in ``directory``, unless one is there already."""
    import veltrane_sim
    from veltrane_sim._install import DEFAULT_NAME

    veltrane_sim.activate(force=True)
    root = Path(directory).absolute()
    layout = veltrane_sim.Installation(os.fspath(root), DEFAULT_NAME)
    if os.path.isfile(layout.settings_path) and os.path.isdir(layout.extensions):
        veltrane_sim.use_installation(layout)  # the host's settings controller reads this one
    else:
        layout = veltrane_sim.make_installation(root)
    return SimulatedInstallation(Path(layout.directory), Path(layout.settings_path), Path(layout.data_sources_path))


def sample_models(directory: str | os.PathLike[str]) -> list[Path]:
    """The sample models, ``directory/<name>/<name>.tessel`` for each of :data:`SAMPLE_MODELS` (a piping line
    with a thermal file beside it, and a structure), laid out unless they are there: a model already there is
    left as it is, since it may hold the user's changes."""
    import veltrane_sim

    models = []
    for name, kind in SAMPLE_MODELS.items():
        model = Path(directory, name, f"{name}.tessel").absolute()
        if not model.exists():
            model.parent.mkdir(parents=True, exist_ok=True)
            veltrane_sim.write_tessel(os.fspath(model), kind)
            if kind == "piping":
                model.with_suffix(".thf").write_text(f"thermal cases of {name}\n", encoding="utf-8")
        models.append(model)
    return models
