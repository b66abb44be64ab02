"""Prints the requirements of the wheels in a folder that hold on Windows
only (pytest's colorama, say): pip download evaluates markers for the machine
it runs on, even when asked for another platform's wheels.
    python3 windows_requirements.py WHEELS_DIR PYTHON_VERSION"""

import pathlib
import sys
import zipfile

from packaging.requirements import Requirement

folder, version = pathlib.Path(sys.argv[1]), sys.argv[2]
windows = {"os_name": "nt", "sys_platform": "win32", "platform_system": "Windows", "platform_machine": "AMD64",
           "python_version": version, "python_full_version": f"{version}.0", "implementation_name": "cpython",
           "platform_python_implementation": "CPython", "extra": ""}
found = set()
for wheel in folder.glob("*.whl"):
    with zipfile.ZipFile(wheel) as archive:
        metadata = next(name for name in archive.namelist() if name.endswith(".dist-info/METADATA"))
        lines = archive.read(metadata).decode("utf-8").splitlines()
    for line in lines:
        if line.startswith("Requires-Dist:"):
            requirement = Requirement(line.split(":", 1)[1].strip())
            if requirement.marker and requirement.marker.evaluate(windows) and not requirement.marker.evaluate():
                requirement.marker = None
                found.add(str(requirement))
print(*sorted(found), sep="\n")
