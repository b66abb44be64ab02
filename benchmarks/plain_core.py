"""The benchmarked functions of veltrane_core written as plain Python.

Each function below takes the same steps, in the same order, as the function
of the same name in the extension module: the same globals read through this
module's namespace at the moment of use, the same other module functions
called by name, the same standard-library and host calls. It is the yardstick
the benchmark holds the extension against, so it is a module of its own and
its global lookups are real ones.

Only the functions the benchmark drives are here; a solve is driven with the
Vazer solver.
"""

import os
import clr  # noqa: F401  (the simulated bridge must be active)
import ctypes  # noqa: F401
import pythoncom
import json  # noqa: F401
import threading
import shutil
import tempfile
import uuid

_validSetup_ = False
_settingsPath_ = "C:\\ProgramData\\Veltrane\\Tubrolis\\Settings\\Tubrolis.settings"
_dataSourcesPath_ = "C:\\ProgramData\\Veltrane\\Tubrolis\\Settings\\DataSources.settings"
_CultureInfo_ = None
_exePath_ = None
_dllPath_ = None
_Vazer_ = None
_DiroZiziva_ = None
_dlls_ = []
_Solution_ = None
_dataPath_ = None
_projectPath_ = None
_Application_ = None
_commandController_ = None
_tempDirectory_ = None

# State copied from the extension module once it is set up.
STATE_GLOBALS = (
    "_validSetup_", "_CultureInfo_", "_exePath_", "_dllPath_", "_Vazer_", "_DiroZiziva_",
    "_dataPath_", "_projectPath_", "_Application_", "_commandController_",
)


def load_dll(dllname):
    if not _validSetup_:
        raise EnvironmentError(
            "Invalid setup! Please call 'from veltrane_computer import setup_veltrane_computer' "
            "and set up with Tubrolis installation directory.")
    if dllname in _dlls_:
        return None
    dllpath = os.path.join(_dllPath_, dllname)
    if not os.path.exists(dllpath):
        dllpath = os.path.join(_exePath_, dllname)
        if not os.path.exists(dllpath):
            raise FileNotFoundError("DLL '" + format(dllname) + "' not found.")
    clr.AddReference(dllpath)
    _dlls_.append(dllname)
    print(format(dllname) + " loaded")
    return None


def FindSolverPaths(settings):
    Vazer = None
    for famille in settings["Families"]:
        if famille["Name"] == "VAZER":
            for sous_famille in famille["SubFamilies"]:
                if sous_famille["Name"] == "PATH":
                    for setting in sous_famille["Settings"]:
                        if setting["Name"] == "WINDOWS SOLVER PATH":
                            Vazer = setting["Value"]
    DiroZiziva = None
    for famille in settings["Families"]:
        if famille["Name"] == "DIROZIZIVA":
            for sous_famille in famille["SubFamilies"]:
                if sous_famille["Name"] == "PATH":
                    for setting in sous_famille["Settings"]:
                        if setting["Name"] == "SOLVER PATH":
                            DiroZiziva = setting["Value"]
    if Vazer == "":
        Vazer = None
    if DiroZiziva == "":
        DiroZiziva = None
    return Vazer, DiroZiziva


def FindDataProjectPaths(dataSources):
    dataPath = dataSources["CurrentDatasDirectory"]
    projectPath = dataSources["CurrentProjectsDirectory"]
    return dataPath, projectPath


def loadTessel(tesselFilename):
    if not _validSetup_:
        raise EnvironmentError(
            "Invalid setup! Please call 'from veltrane_computer import setup_veltrane_computer' "
            "and set up with Tubrolis installation directory.")
    if not os.path.exists(tesselFilename):
        return None
    load_dll("Veltrane.SDK.dll")
    load_dll("Veltrane.Helper.dll")
    load_dll("Veltrane.Tubrolis.Core.dll")
    from Veltrane.Tubrolis.Core import Model
    tessel = Model()
    try:
        tessel.LoadFromFile(tesselFilename)
    except Exception:
        return None
    return tessel


def getTessel(directory):
    if not _validSetup_:
        raise EnvironmentError(
            "Invalid setup! Please call 'from veltrane_computer import setup_veltrane_computer' "
            "and set up with Tubrolis installation directory.")
    return find_first_file(directory, ".tessel")


def _model_folder(filename):
    folder = os.path.dirname(filename)
    if folder == "":
        return os.curdir
    return folder


def solve(filename, solvername, sandbox):
    global _tempDirectory_
    if not _validSetup_:
        raise EnvironmentError(
            "Invalid setup! Please call 'from veltrane_computer import setup_veltrane_computer' "
            "and set up with Tubrolis installation directory.")
    if not os.path.exists(filename):
        print("Invalid filename")
        return None
    disposeSolution()
    tesselFilename = filename
    frefilename = os.path.splitext(tesselFilename)[0] + ".fre"
    if not os.path.exists(frefilename):
        frefilename = os.path.join(os.path.dirname(tesselFilename), "conception.fre")
    thffile = find_first_file(_model_folder(tesselFilename), ".thf")
    if sandbox:
        directory = os.path.join(tempfile.gettempdir(), str(uuid.uuid4()))
    else:
        directory = _model_folder(tesselFilename)
    if not os.path.exists(directory):
        os.makedirs(directory)
        tesselFilename = os.path.join(directory, os.path.basename(filename))
        shutil.copy(filename, tesselFilename)
        if os.path.exists(frefilename):
            shutil.copy(frefilename, os.path.join(directory, os.path.basename(frefilename)))
        if os.path.exists(thffile):
            shutil.copy(thffile, os.path.join(directory, os.path.basename(thffile)))
        _tempDirectory_ = directory
    tessel = loadTessel(tesselFilename)
    if tessel == None:  # noqa: E711  (an equality test, as the module makes it)
        print("Invalid tessel")
        return None
    load_dll("Veltrane.Tubrolis.Core.dll")
    from Veltrane.Tubrolis.Core import PipingCode
    from Veltrane.Tubrolis.Core import StructureCode
    if isinstance(tessel.CalculationCode, PipingCode):
        solvePipingModel(tessel, tesselFilename, solvername, directory)
        return _Solution_
    if isinstance(tessel.CalculationCode, StructureCode):
        solveStructureModel(tessel, tesselFilename, directory)
        return _Solution_
    return None


def _run_worker(worker, tessel, tesselFilename, directory):
    sta_thread = threading.Thread(target=worker, args=(tessel, tesselFilename, directory))
    sta_thread.daemon = True
    sta_thread.start()
    sta_thread.join()


def solvePipingModel(tessel, tesselFilename, solvername, directory):
    global _Solution_
    if not _validSetup_:
        raise EnvironmentError(
            "Invalid setup! Please call 'from veltrane_computer import setup_veltrane_computer' "
            "and set up with Tubrolis installation directory.")
    if tessel == None:  # noqa: E711
        raise EnvironmentError("Invalid tessel.")
    load_dll("Veltrane.Tubrolis.Core.dll")
    from Veltrane.Tubrolis.Core import PipingCode
    if not isinstance(tessel.CalculationCode, PipingCode):
        raise EnvironmentError("The tessel is not a piping model.")
    _Solution_ = None
    if solvername == "Vazer":
        if _Vazer_ == None:  # noqa: E711
            return None
        load_dll("Veltrane.SDK.dll")
        load_dll("Veltrane.Helper.dll")
        load_dll("Veltrane.Vazer.Core.dll")
        _run_worker(_VazerSolve, tessel, tesselFilename, directory)
        return _Solution_
    if solvername == "DiroZiziva":
        raise NotImplementedError("the benchmark drives the Vazer solver only")
    print("Invalid solver name. use 'Vazer' or 'DiroZiziva'.")
    return None


def solveStructureModel(tessel, tesselFilename, directory):
    global _Solution_
    if not _validSetup_:
        raise EnvironmentError(
            "Invalid setup! Please call 'from veltrane_computer import setup_veltrane_computer' "
            "and set up with Tubrolis installation directory.")
    if tessel == None:  # noqa: E711
        raise EnvironmentError("Invalid tessel.")
    load_dll("Veltrane.Tubrolis.Core.dll")
    from Veltrane.Tubrolis.Core import StructureCode
    if not isinstance(tessel.CalculationCode, StructureCode):
        raise EnvironmentError("The tessel is not a structure model.")
    _Solution_ = None
    if _Vazer_ == None:  # noqa: E711
        return None
    load_dll("Veltrane.SDK.dll")
    load_dll("Veltrane.Helper.dll")
    load_dll("Veltrane.Vazer.Core.dll")
    _run_worker(_VazerSolve, tessel, tesselFilename, directory)
    return _Solution_


def _VazerSolve(tessel, tesselFilename, directory):
    global _Solution_
    _Solution_ = None
    pythoncom.CoInitialize()
    try:
        thffile = find_first_file(directory, ".thf")
        clr.AddReference("mscorlib")
        from System.Threading import Thread
        Thread.CurrentThread.CurrentCulture = _CultureInfo_
        Thread.CurrentThread.CurrentUICulture = _CultureInfo_
        from Veltrane.Vazer.Core import VazerSolver
        from Veltrane.Tubrolis.Core import Solution
        solver = VazerSolver(_Vazer_, tessel, tesselFilename, thffile, False)
        solver.IgnoreWarnings = True
        if solver.BuildAnalysisModel(False) < 0:
            solver.Dispose()
        elif solver.Run() == 0:
            _Solution_ = Solution(None, solver)
        else:
            solver.Dispose()
    finally:
        pythoncom.CoUninitialize()
    return None


def disposeSolution():
    global _Solution_
    if _Solution_ != None:  # noqa: E711
        try:
            _Solution_.Dispose()
        finally:
            _Solution_ = None
    try:
        directory = _tempDirectory_
        if directory and os.path.isdir(directory):
            shutil.rmtree(_tempDirectory_)
    except Exception as e:
        print("Impossible to delete temp directory :", e)
    return None


def find_first_file(directory, ext):
    names = os.listdir(directory)
    if isinstance(ext, str):
        ext = ext.lower()
    for name in names:
        if name.lower().endswith(ext):
            candidate = os.path.join(directory, name)
            if os.path.isfile(candidate):
                return candidate
    return ""


def copyDirectoryToTemp(directory):
    tempDirectory = os.path.join(tempfile.gettempdir(), str(uuid.uuid4()))
    try:
        shutil.copytree(directory, tempDirectory, dirs_exist_ok=True)
        return tempDirectory
    except Exception:
        pass
    # A failed copy leaves nothing behind: the folder is new, so all of it is ours.
    try:
        shutil.rmtree(tempDirectory, ignore_errors=True)
    except Exception:
        pass
    return ""
