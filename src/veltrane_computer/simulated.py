"""Run the package against the simulated host, with an installation laid out in a folder.

    from veltrane_computer.session import Session
    from veltrane_computer.simulated import simulated_installation

    simulated = simulated_installation("/tmp/veltrane")
    with Session.open(simulated) as session:
        ...

Call :func:`simulated_installation` in each process that uses the simulated host
(spawned workers too), before the core is first imported there.
"""

from __future__ import annotations

import os
from pathlib import Path
from typing import NamedTuple

__all__ = ["SimulatedInstallation", "simulated_installation"]


class SimulatedInstallation(NamedTuple):
    """Where a simulated installation lives; :meth:`Session.open` takes it as it is."""

    installation: Path
    settings: Path
    data_sources: Path


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
