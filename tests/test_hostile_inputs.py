"""No input crashes the process. Every exported function is called in-process
with wrong types and hostile objects in each argument position, and with
module globals rebound to things they should never hold; each call returns or
raises an ordinary exception that carries the function's traceback frame.
A crash would end the whole test run, which is the point of running here."""

import builtins
import contextlib
import os
import sys
import tempfile
import threading
import traceback
import types
import uuid

import pytest

import veltrane_sim

# bytearray paths are on their way out of the os module; here they are just
# one more wrong type.
pytestmark = pytest.mark.filterwarnings("ignore:.*not bytearray:DeprecationWarning")


class Boom(Exception):
    """What the hostile objects raise."""


def boom(*args, **kwargs):
    raise Boom("hostile")


class EqRaises:
    __eq__ = __ne__ = boom
    __hash__ = object.__hash__


class BoolRaises:
    __bool__ = boom


class FspathRaises:
    __fspath__ = boom


class StrRaises:
    __str__ = __repr__ = boom


class FormatRaises:
    __format__ = boom


class ContainerRaises:
    __len__ = __iter__ = __getitem__ = __contains__ = boom


class NumberRaises:
    __index__ = __int__ = __float__ = boom
    __add__ = __radd__ = __sub__ = __rsub__ = __truediv__ = __rtruediv__ = boom
    __lt__ = __le__ = __gt__ = __ge__ = boom


class AttributesRaise:
    """A host-like object whose every member access fails."""

    __getattr__ = boom

    def __setattr__(self, name, value):
        boom()


class Everything(EqRaises, BoolRaises, FspathRaises, StrRaises, FormatRaises, ContainerRaises, NumberRaises,
                 AttributesRaise):
    __hash__ = object.__hash__


class EvilText(str):
    """A str whose own operations all fail."""

    __eq__ = __ne__ = boom
    __hash__ = str.__hash__
    lower = endswith = startswith = __add__ = __radd__ = __format__ = boom


class FalseEquality:
    """Compares equal to everything, with a truth test that fails."""

    def __eq__(self, other):
        return BoolRaises()

    __ne__ = __eq__
    __hash__ = object.__hash__


class BytesPath:
    def __fspath__(self):
        return b"/nonexistent/bytes"


HOSTILE = [
    ("None", lambda: None),
    ("zero", lambda: 0),
    ("negative", lambda: -1),
    ("huge-int", lambda: 2**200),
    ("float", lambda: 1.5),
    ("nan", lambda: float("nan")),
    ("bytes", lambda: b"bytes"),
    ("bytearray", lambda: bytearray(b"x")),
    ("empty-list", lambda: []),
    ("list", lambda: [1, "two"]),
    ("dict", lambda: {"Families": 5}),
    ("tuple", lambda: ()),
    ("object", lambda: object()),
    ("empty-text", lambda: ""),
    ("nul-text", lambda: "a\x00b"),
    ("surrogate-text", lambda: "\udcff"),
    ("long-text", lambda: "n" * 5000),
    ("eq-raises", EqRaises),
    ("bool-raises", BoolRaises),
    ("fspath-raises", FspathRaises),
    ("str-raises", StrRaises),
    ("format-raises", FormatRaises),
    ("container-raises", ContainerRaises),
    ("number-raises", NumberRaises),
    ("attributes-raise", AttributesRaise),
    ("everything", Everything),
    ("evil-text", lambda: EvilText("evil")),
    ("false-equality", FalseEquality),
    ("bytes-path", BytesPath),
    ("type", lambda: int),
]


# ---------------------------------------------------------------- the world


def quiet(*values, **options):
    pass


@pytest.fixture
def world(ready, core, tmp_path, monkeypatch):
    """Set up, with sample models and a project, output silenced, inside a
    working directory of its own (relative names land there)."""
    w = types.SimpleNamespace(core=core, installation=ready, tmp=tmp_path)
    (tmp_path / "temp").mkdir()
    monkeypatch.setattr(tempfile, "tempdir", str(tmp_path / "temp"))
    monkeypatch.setattr(threading, "excepthook", lambda arguments: None)
    work = tmp_path / "work"
    work.mkdir()
    os.chdir(work)
    w.work = str(work)
    core.print = quiet
    models = tmp_path / "models"
    models.mkdir()
    w.models = str(models)
    w.pipe = veltrane_sim.write_tessel(os.path.join(w.models, "pipe.tessel"), "piping")
    w.frame_dir = str(tmp_path / "frame")
    os.mkdir(w.frame_dir)
    w.frame = veltrane_sim.write_tessel(os.path.join(w.frame_dir, "frame.tessel"), "structure")
    w.piping = core.loadTessel(w.pipe)
    w.structure = core.loadTessel(w.frame)
    w.projects = str(tmp_path / "projects")
    os.mkdir(w.projects)
    w.project = core.addPipingProject(w.projects, "Plant", "S1", 1920, 1080)
    for name in ("Veltrane.Vazer.Core.dll", "Veltrane.DiroZiziva.Core.dll", "Veltrane.Helper.dll"):
        core.load_dll(name)
    from Veltrane.SDK import VeltraneModule

    w.Tubrolis = VeltraneModule.Tubrolis
    w.settings = ready.settings()
    w.command = core.createCommand("RenumberNodes", w.piping)
    return w


def unique(prefix):
    return f"{prefix}-{uuid.uuid4().hex[:8]}"


def new_folder(w):
    path = os.path.join(w.projects, unique("folder"))
    os.mkdir(path)
    return path


# Arguments with which each function does its normal work; built afresh for
# every call, since some calls consume what they are given.
GOOD = {
    "setup_veltrane_computer": lambda w: (w.installation.directory, w.core.VeltraneModule.Tubrolis),
    "load_dll": lambda w: ("Veltrane.SDK.dll",),
    "load_dll_c": lambda w: ("Veltrane.SDK.dll",),
    "FindSolverPaths": lambda w: (w.settings,),
    "FindDataProjectPaths": lambda w: ({"CurrentDatasDirectory": "d", "CurrentProjectsDirectory": "p"},),
    "loadTessel": lambda w: (w.pipe,),
    "saveTessel": lambda w: (w.piping, w.pipe),
    "getTessel": lambda w: (w.models,),
    "createTessel": lambda w: (w.Tubrolis,),
    "createPipingTessel": lambda w: (),
    "createStructureTessel": lambda w: (),
    "solve": lambda w: (w.pipe, "Vazer", False),
    "disposeSolution": lambda w: (),
    "solvePipingModel": lambda w: (w.piping, w.pipe, "DiroZiziva", w.models),
    "solveStructureModel": lambda w: (w.structure, w.frame, w.frame_dir),
    "_DiroZizivaSolve": lambda w: (w.piping, w.pipe, w.models),
    "_VazerSolve": lambda w: (w.piping, w.pipe, w.models),
    "find_first_file": lambda w: (w.models, ".tessel"),
    "copyDirectoryToTemp": lambda w: (w.frame_dir,),
    "inspectClass": lambda w: (w.piping, True),
    "findNameSpaceAndAssembly": lambda w: ("Model",),
    "writeFreFile": lambda w: (w.piping, w.pipe),
    "createCommand": lambda w: ("RenumberNodes", w.piping),
    "executeCommand": lambda w: (w.command,),
    "addProjectFolder": lambda w: (w.projects, unique("folder")),
    "removeProjectFolder": lambda w: (new_folder(w),),
    "addProject": lambda w: (w.projects, unique("project"), "S1", 1920, 1080, w.Tubrolis),
    "addPipingProject": lambda w: (w.projects, unique("project"), "S1", 1920, 1080),
    "addStructureProject": lambda w: (w.projects, unique("project"), "S1", 1920, 1080),
    "removeProject": lambda w: (new_folder(w),),
    "addStudy": lambda w: (w.project, unique("study"), 1920, 1080, w.Tubrolis),
    "addPipingStudy": lambda w: (w.project, unique("study"), 1920, 1080),
    "addStructureStudy": lambda w: (w.project, unique("study"), 1920, 1080),
    "removeStudy": lambda w: (w.project, "no such study"),
    "duplicateStudy": lambda w: (w.project, "S1", unique("copy")),
}


def frame_names(error):
    return [frame.name for frame in traceback.extract_tb(error.__traceback__)]


@contextlib.contextmanager
def unraisable():
    """Collects what the interpreter could only report (errors in __del__,
    in callbacks), which a careless release of an object would produce."""
    seen = []
    previous = sys.unraisablehook
    sys.unraisablehook = lambda report: seen.append(f"{report.exc_type.__name__}: {report.exc_value}")
    try:
        yield seen
    finally:
        sys.unraisablehook = previous


def call_checked(core, name, arguments, function=None, context=""):
    """Calls the function `name` (by default core.<name>) with `arguments`: it
    must return, or raise an ordinary exception that names the function in its
    traceback. The namespace and the working directory are put back after.
    Returns the outcome."""
    cwd = os.getcwd()
    saved = dict(vars(core))
    function = function or getattr(core, name)
    try:
        result = function(*arguments)
    except Exception as error:
        where = f"{name} ({context}): {error!r}"
        assert not isinstance(error, SystemError), where
        assert "C++" not in str(error) and "pybind11" not in str(error), where
        assert f"veltrane_computer.veltrane_core.{name}" in frame_names(error), where
        result = error
    finally:
        namespace = vars(core)
        for key in [key for key in namespace if key not in saved]:
            del namespace[key]
        namespace.update(saved)
        os.chdir(cwd)
    return result


# ---------------------------------------------------------------- arguments


def test_the_table_covers_every_function(core):
    exported = {name for name, value in vars(core).items() if type(value) is type(len)}
    assert exported == set(GOOD)


@pytest.mark.parametrize("name", sorted(GOOD))
def test_the_good_arguments_work(world, name):
    """The sweeps below start from calls that do their full work."""
    outcome = call_checked(world.core, name, GOOD[name](world))
    assert not isinstance(outcome, Exception), outcome


@pytest.mark.parametrize("name", sorted(GOOD))
@pytest.mark.parametrize("state", ["set up", "not set up"])
def test_hostile_arguments(world, name, state):
    core = world.core
    if state == "not set up":
        core._validSetup_ = False
    count = len(GOOD[name](world))
    with unraisable() as reported:
        for position in range(count):
            for label, make in HOSTILE:
                arguments = list(GOOD[name](world))
                arguments[position] = make()
                call_checked(core, name, arguments, context=f"{label} at {position}")
    assert reported == []


@pytest.mark.parametrize("label, make", HOSTILE, ids=[label for label, _ in HOSTILE])
def test_hostile_keyword_names(world, label, make):
    """Left-over keywords are checked one by one: a non-string is refused, a
    string is compared with the parameter names by its own equality."""
    core = world.core
    key = make()
    try:
        keywords = {key: 1}
    except TypeError:
        return  # unhashable: not a possible keyword
    try:
        core.find_first_file(world.models, ".x", **keywords)
    except Exception as error:
        assert "veltrane_computer.veltrane_core.find_first_file" in frame_names(error)
        if isinstance(key, EvilText):
            assert isinstance(error, Boom)
        elif isinstance(key, str):
            assert str(error) == f"find_first_file() got an unexpected keyword argument '{key}'"
        else:
            assert str(error) == "find_first_file() keywords must be strings"
    else:
        pytest.fail("no error for a keyword that names no parameter")


# ---------------------------------------------------------------- as specified


class TestHostileObjectsAsSpecified:
    def test_unequal_comparison_of_the_tessel_runs_its_operator(self, world):
        with pytest.raises(Boom):
            world.core.saveTessel(EqRaises(), world.pipe)

    def test_sandbox_truth_test_runs(self, world):
        with pytest.raises(Boom):
            world.core.solve(world.pipe, "Vazer", BoolRaises())

    def test_failing_path_protocol_is_a_failed_copy(self, world):
        assert world.core.copyDirectoryToTemp(FspathRaises()) == ""

    def test_failing_path_protocol_reaches_the_lister(self, world):
        with pytest.raises(Boom):
            world.core.find_first_file(FspathRaises(), ".x")

    def test_missing_directory_message_formats_the_value(self, world):
        class Missing:
            def __fspath__(self):
                return os.path.join(world.tmp, "missing")

            __format__ = boom

        with pytest.raises(Boom):
            world.core.setup_veltrane_computer(Missing(), 0)

    def test_loaded_name_compared_by_its_own_equality(self, world):
        with pytest.raises(Boom):
            world.core.load_dll(EqRaises())

    def test_solution_compared_with_none_by_its_operator(self, world):
        world.core._Solution_ = EqRaises()
        with pytest.raises(Boom):
            world.core.disposeSolution()

    def test_sandbox_path_whose_truth_fails_is_reported(self, world, capsys):
        world.core.print = print
        world.core._tempDirectory_ = BoolRaises()
        assert world.core.disposeSolution() is None
        assert capsys.readouterr().out == "Impossible to delete temp directory : hostile\n"

    def test_solver_name_equal_to_everything_with_a_failing_truth(self, world):
        with pytest.raises(Boom):
            world.core.solvePipingModel(world.piping, world.pipe, FalseEquality(), world.models)

    def test_settings_that_fail_on_iteration(self, world):
        with pytest.raises(Boom):
            world.core.FindSolverPaths({"Families": ContainerRaises()})

    def test_extension_whose_methods_fail(self, world):
        with pytest.raises(Boom):
            world.core.find_first_file(world.models, EvilText(".tessel"))


# ---------------------------------------------------------------- reentrancy


class TestReentrancy:
    def test_guard_value_that_unbinds_itself(self, world):
        """The guard keeps its own reference while the truth test runs."""
        core = world.core

        class Vanishing:
            def __bool__(self):
                del core._validSetup_
                return True

        core._validSetup_ = Vanishing()
        assert core.find_first_file(world.models, ".tessel") == world.pipe  # unguarded, for reference
        assert core.getTessel(world.models) == world.pipe
        assert "_validSetup_" not in vars(core)

    def test_guard_value_that_calls_the_module(self, world):
        core = world.core
        calls = []

        class Chatty:
            def __bool__(self):
                calls.append(core.find_first_file(world.models, ".tessel"))
                core._validSetup_ = True
                return True

        core._validSetup_ = Chatty()
        assert core.getTessel(world.models) == world.pipe
        assert calls == [world.pipe]

    def test_endless_recursion_through_the_guard_ends_in_recursion_error(self, world):
        core = world.core

        class Recursive:
            def __bool__(self):
                return bool(core.getTessel(world.models))

        core._validSetup_ = Recursive()
        with pytest.raises(RecursionError):
            core.getTessel(world.models)

    def test_endless_recursion_through_dispose(self, world):
        core = world.core

        class Recursive:
            def Dispose(self):
                core.disposeSolution()

        core._Solution_ = Recursive()
        with pytest.raises(RecursionError):
            core.disposeSolution()
        assert core._Solution_ is None

    def test_solution_replaced_while_it_is_disposed(self, world):
        core = world.core

        class Replacing:
            def Dispose(self):
                core._Solution_ = object()
                core._tempDirectory_ = None

        core._Solution_ = Replacing()
        assert core.disposeSolution() is None
        assert core._Solution_ is None

    def test_path_argument_that_rebinds_the_path_module(self, world):
        core = world.core

        class Rebinding:
            def __fspath__(self):
                core.os = None
                return world.models

        with pytest.raises(AttributeError):
            core.find_first_file(Rebinding(), ".tessel")

    def test_loaded_names_cleared_during_the_membership_test(self, world):
        core = world.core

        class Clearing:
            def __eq__(self, other):
                core._dlls_.clear()
                return False

            __hash__ = object.__hash__

        core._dlls_ = ["Veltrane.SDK.dll", "Veltrane.Helper.dll", "Veltrane.Tubrolis.Core.dll"]
        with pytest.raises(TypeError):
            core.load_dll(Clearing())
        assert core._dlls_ == []

    def test_settings_list_shrunk_during_the_walk(self, world):
        core = world.core
        families = []

        class Shrinking(dict):
            def __getitem__(self, key):
                families.clear()
                return super().__getitem__(key)

        families.extend([Shrinking(Name="VAZER", SubFamilies=[]), Shrinking(Name="X"), Shrinking(Name="Y")])
        assert core.FindSolverPaths({"Families": families}) == (None, None)

    def test_settings_emptied_by_a_name_comparison(self, world):
        """Plain JSON data but for one name, whose comparison empties every
        list of the tree while the walk is inside them: the walk goes on over
        what is left, which is nothing."""
        core = world.core
        lists = []

        class Emptying(str):
            def __eq__(self, other):
                for items in lists:
                    items.clear()
                return str.__eq__(self, other)

            __hash__ = str.__hash__

        settings = [{"Name": "WINDOWS SOLVER PATH", "Value": "v"}, {"Name": "SOLVER PATH", "Value": "d"}]
        sub_families = [{"Name": Emptying("PATH"), "Settings": settings}, {"Name": "PATH", "Settings": settings}]
        families = [{"Name": "VAZER", "SubFamilies": sub_families}, {"Name": "DIROZIZIVA", "SubFamilies": sub_families}]
        lists.extend([settings, sub_families, families])
        assert core.FindSolverPaths({"Families": families}) == (None, None)
        assert families == [] and sub_families == [] and settings == []


# ---------------------------------------------------------------- module globals


class RaisingModule:
    """A module stand-in whose every attribute fails."""

    __getattr__ = boom


class HostileThread:
    def __init__(self, **kwargs):
        self.kwargs = kwargs

    daemon = property(lambda self: False, boom)


REBINDINGS = [
    ("os-int", "os", lambda w: 5),
    ("os-none", "os", lambda w: None),
    ("os-raising", "os", lambda w: RaisingModule()),
    ("os-path-int", "os", lambda w: types.SimpleNamespace(path=5, listdir=os.listdir, makedirs=os.makedirs)),
    ("os-deleted", "os", None),
    ("shutil-none", "shutil", lambda w: None),
    ("tempfile-raising", "tempfile", lambda w: RaisingModule()),
    ("uuid-none", "uuid", lambda w: None),
    ("json-int", "json", lambda w: 5),
    ("threading-none", "threading", lambda w: None),
    ("threading-hostile", "threading", lambda w: types.SimpleNamespace(Thread=HostileThread)),
    ("clr-none", "clr", lambda w: None),
    ("clr-raising", "clr", lambda w: RaisingModule()),
    ("pythoncom-int", "pythoncom", lambda w: 5),
    ("ctypes-none", "ctypes", lambda w: None),
    ("dlls-none", "_dlls_", lambda w: None),
    ("dlls-int", "_dlls_", lambda w: 5),
    ("dlls-text", "_dlls_", lambda w: "Veltrane.SDK.dll"),
    ("dlls-tuple", "_dlls_", lambda w: ()),
    ("dlls-raising", "_dlls_", lambda w: ContainerRaises()),
    ("dlls-deleted", "_dlls_", None),
    ("dllPath-none", "_dllPath_", lambda w: None),
    ("dllPath-bytes", "_dllPath_", lambda w: b"/nonexistent"),
    ("exePath-int", "_exePath_", lambda w: 5),
    ("Vazer-eq-raises", "_Vazer_", lambda w: EqRaises()),
    ("Vazer-int", "_Vazer_", lambda w: 5),
    ("DiroZiziva-list", "_DiroZiziva_", lambda w: []),
    ("Solution-eq-raises", "_Solution_", lambda w: EqRaises()),
    ("Solution-int", "_Solution_", lambda w: 5),
    ("tempDirectory-bool-raises", "_tempDirectory_", lambda w: BoolRaises()),
    ("tempDirectory-everything", "_tempDirectory_", lambda w: Everything()),
    ("Application-none", "_Application_", lambda w: None),
    ("Application-raising", "_Application_", lambda w: AttributesRaise()),
    ("commandController-none", "_commandController_", lambda w: None),
    ("CultureInfo-int", "_CultureInfo_", lambda w: 5),
    ("validSetup-bool-raises", "_validSetup_", lambda w: BoolRaises()),
    ("validSetup-deleted", "_validSetup_", None),
    # (not an int: an int is a file descriptor to the os module, and setup
    # would read and close one of the test run's own)
    ("settingsPath-float", "_settingsPath_", lambda w: 5.5),
    ("settingsPath-not-json", "_settingsPath_", lambda w: w.pipe.replace("pipe.tessel", "missing.settings")),
    ("load_dll-none", "load_dll", lambda w: None),
    ("load_dll-raising", "load_dll", lambda w: boom),
    ("find_first_file-int", "find_first_file", lambda w: 5),
    ("loadTessel-hostile-model", "loadTessel", lambda w: lambda name: EqRaises()),
    ("writeFreFile-none", "writeFreFile", lambda w: None),
    ("disposeSolution-raising", "disposeSolution", lambda w: boom),
    ("createTessel-none", "createTessel", lambda w: None),
    ("addProject-deleted", "addProject", None),
    ("addStudy-raising", "addStudy", lambda w: boom),
    ("solvePipingModel-int", "solvePipingModel", lambda w: 5),
    ("worker-none", "_VazerSolve", lambda w: None),
    ("print-raising", "print", lambda w: boom),
    ("builtins-int", "__builtins__", lambda w: 5),
]


@pytest.mark.parametrize("label, name, make", REBINDINGS, ids=[row[0] for row in REBINDINGS])
def test_rebound_module_globals(world, label, name, make):
    core = world.core
    functions = {function: getattr(core, function) for function in GOOD}
    if make is None:
        vars(core).pop(name, None)
    else:
        setattr(core, name, make(world))
    outcomes = {}
    with unraisable() as reported:
        for function in sorted(GOOD):
            outcomes[function] = call_checked(core, function, GOOD[function](world), functions[function])
    assert reported == []
    # The rebinding reached the functions that use the name.
    if name in ("os", "_dlls_", "load_dll"):
        assert isinstance(outcomes["loadTessel"], Exception)


@pytest.mark.parametrize("reader, answer, message", [
    ("FindSolverPaths", (1, 2, 3), "too many values to unpack (expected 2)"),
    ("FindDataProjectPaths", ("d", "p", "x"), "too many values to unpack (expected 2)"),
    ("FindDataProjectPaths", ("d",), "not enough values to unpack (expected 2, got 1)"),
])
def test_settings_readers_rebound_to_answers_of_another_shape(world, reader, answer, message):
    setattr(world.core, reader, lambda settings: answer)
    with pytest.raises(ValueError) as error:
        world.core.setup_veltrane_computer(world.installation.directory, 0)
    assert str(error.value) == message


def test_recovery_after_hostile_globals(world):
    """Once the globals are put back, the module works as before."""
    core = world.core
    solve = core.solve
    for _, name, make in REBINDINGS:
        saved = dict(vars(core))
        if make is None:
            vars(core).pop(name, None)
        else:
            setattr(core, name, make(world))
        call_checked(core, "solve", GOOD["solve"](world), solve)
        namespace = vars(core)
        for key in [key for key in namespace if key not in saved]:
            del namespace[key]
        namespace.update(saved)
    solution = core.solve(world.pipe, "Vazer", False)
    assert solution is not None and solution.NodeCount > 0


class TestLookupsAtTheMomentOfUse:
    """A global rebound between two calls, or while a call runs, is what the
    next lookup finds; the object it replaced may be gone by then."""

    def test_each_call_sees_the_module_bound_just_before(self, world):
        core = world.core
        seen = []
        for turn in range(50):
            marker = f"m{turn}.tessel"
            # The only reference to the stand-in is the namespace's, so the
            # previous round's stand-in is released when this one is bound.
            core.os = types.SimpleNamespace(path=os.path, listdir=lambda directory, m=marker: seen.append(m) or [m])
            assert core.find_first_file(world.models, ".tessel") == ""
        assert seen == [f"m{turn}.tessel" for turn in range(50)]

    def test_builtins_are_looked_up_when_the_namespace_has_no_such_name(self, world, monkeypatch):
        import builtins

        core = world.core
        vars(core).pop("print", None)
        for _ in range(20):
            lines = []
            monkeypatch.setattr(builtins, "print", lambda *values, lines=lines: lines.append(values))
            assert core.solve(os.path.join(world.tmp, "missing.tessel"), "Vazer", False) is None
            assert lines == [("Invalid filename",)]
        core.print = lambda *values: lines.append(("module",) + values)
        core.solve(os.path.join(world.tmp, "missing.tessel"), "Vazer", False)
        assert lines[-1] == ("module", "Invalid filename")

    @pytest.mark.parametrize("caller_builtins", [types.MappingProxyType(vars(builtins)), {"len": len}],
                             ids=["mappingproxy", "restricted-dict"])
    def test_names_missing_from_the_namespace_resolve_in_the_modules_own_builtins(self, world, caller_builtins):
        """As in a function of a Python module: the caller's builtins play no part."""
        core = world.core
        vars(core).pop("print", None)
        lines = []
        caller = {"__builtins__": caller_builtins, "core": core, "path": os.path.join(world.tmp, "missing.tessel")}
        with contextlib.redirect_stdout(types.SimpleNamespace(write=lines.append, flush=lambda: None)):
            exec("result = core.solve(path, 'Vazer', False)", caller)
        assert caller["result"] is None and "".join(lines) == "Invalid filename\n"

    def test_a_function_rebound_by_another_call_is_called_fresh(self, world):
        core = world.core
        calls = []

        def replacement(directory, ext):
            calls.append(ext)
            core.find_first_file = lambda directory, ext: calls.append("second") or ""
            return ""

        core.find_first_file = replacement
        assert core.getTessel(world.models) == ""
        assert core.getTessel(world.models) == ""
        assert calls == [".tessel", "second"]
