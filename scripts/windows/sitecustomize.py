"""Loaded only by the Windows CPython that runs the suite under wine
(scripts/windows/test-under-wine.sh puts it on that interpreter's path): it
stands in for what wine 8.0 lacks, nothing more. It never ships."""

import sys
import time

import _winapi

# KERNEL32.CopyFile2 is unimplemented: without it shutil copies by reading and writing.
if hasattr(_winapi, "CopyFile2"):
    del _winapi.CopyFile2

# _wmi aborts the process: platform then asks the registry instead.
sys.modules["_wmi"] = None

if sys.version_info < (3, 13):
    import importlib.abc
    import importlib.machinery

    class _PlainClocks(importlib.abc.MetaPathFinder):
        """distributed resyncs a coarse Windows clock by waiting for repeated
        readings, which wine's finer clock never gives: it loops for ever. The
        clocks as they are, as distributed uses them from 3.13 on."""

        def find_spec(self, name, path, target=None):
            if name != "distributed.metrics":
                return None
            sys.meta_path.remove(self)
            spec = importlib.machinery.PathFinder.find_spec(name, path)
            run = spec.loader.exec_module

            def exec_module(module):
                run(module)
                module.time, module.monotonic = time.time, time.monotonic

            spec.loader.exec_module = exec_module
            return spec

    sys.meta_path.insert(0, _PlainClocks())
