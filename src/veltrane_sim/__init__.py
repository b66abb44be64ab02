"""A simulated host for veltrane_computer: the bridge (`clr`), COM apartment
control (`pythoncom`) and the application's SDK assemblies, in pure Python.

It lets the package -- and scripts written against it -- run end to end on a
machine without the application: assemblies, solver executables and settings
are small files laid out by make_installation(); models, solver inputs,
results and projects are real files (formats in README.md beside this file).

    import veltrane_sim
    veltrane_sim.activate()            # only if no real clr/pythoncom exists
    inst = veltrane_sim.make_installation(tmp_path)
    import veltrane_computer as vc
    inst.bind(vc.veltrane_core)
    vc.setup_veltrane_computer(inst.directory, vc.VeltraneModule.Tubrolis)

For tests: `journal` records every host call (operation, arguments, thread),
`switches` force the outcomes the caller branches on, com_state() tells the
COM depth per thread, and reset() clears journal, switches and COM counts.
"""

from . import _com
from ._assemblies import (
    ASSEMBLY_MAGIC, LIBRARY_FILE, LIBRARY_MAGIC, SOLVER_MAGIC, STANDARD_ASSEMBLIES,
    read_assembly_file, write_assembly_file, write_library_file, write_solver_file,
)
from ._bridge import (
    activate, deactivate, forget_references, is_active, isolated_references, referenced_assemblies,
)
from ._com import ComState, com_state
from ._commands import COMMANDS as _COMMAND_TABLE
from ._core import open_solutions
from ._exceptions import (
    ArgumentException, ArgumentNullException, ArgumentOutOfRangeException, BadImageFormatException,
    CultureNotFoundException, DirectoryNotFoundException, FileNotFoundException, HostException,
    InvalidDataException, InvalidOperationException, IOException, ObjectDisposedException,
)
from ._fre import read_fre
from ._install import Installation, current_installation, make_installation, use_installation
from ._journal import Call, journal, switches
from ._project import project_file_for, read_project
from ._solvers import BuildCode, RunCode
from ._system import current_culture_name
from ._tessel import read_tessel, sample_model, write_tessel

# Command name -> one-line description of what it does to the model.
COMMANDS = {name: description for name, (description, _) in _COMMAND_TABLE.items()}


def reset():
    """Clear the journal, the switches and the COM counts.  References,
    the current installation and files on disk are left alone."""
    journal.clear()
    switches.reset()
    _com.reset()


def read_results(path):
    """Parse a solver result file (.vres / .dres)."""
    import json

    with open(path, "r", encoding="utf-8") as f:
        return json.load(f)


__all__ = [
    "activate", "deactivate", "is_active", "reset", "forget_references", "isolated_references",
    "referenced_assemblies",
    "journal", "switches", "Call", "com_state", "ComState",
    "make_installation", "use_installation", "current_installation", "Installation",
    "COMMANDS", "BuildCode", "RunCode", "open_solutions", "current_culture_name",
    "sample_model", "write_tessel", "read_tessel", "read_fre", "read_results", "read_project",
    "project_file_for", "write_assembly_file", "read_assembly_file", "write_library_file",
    "write_solver_file", "ASSEMBLY_MAGIC", "LIBRARY_MAGIC", "SOLVER_MAGIC", "STANDARD_ASSEMBLIES",
    "LIBRARY_FILE", "HostException", "ArgumentException", "ArgumentNullException",
    "ArgumentOutOfRangeException", "BadImageFormatException", "CultureNotFoundException",
    "DirectoryNotFoundException", "FileNotFoundException", "InvalidDataException",
    "InvalidOperationException", "IOException", "ObjectDisposedException",
]
