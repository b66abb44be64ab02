"""The module frame: namespace, enumeration, argument binding, setup guard,
function objects and traceback frames, module creation rules."""

import ctypes
import itertools
import os
import subprocess
import sys
import sysconfig
import textwrap
import traceback

import pytest

from _catalog import GUARD_MESSAGE, TABLE

from veltrane_computer import veltrane_core


GUARDED = [(name, params) for name, params, guarded in TABLE if guarded]
WITH_PARAMETERS = [(name, params) for name, params, _ in TABLE if params]

STATE_DEFAULTS = [
    ("_validSetup_", False),
    ("_settingsPath_", "C:\\ProgramData\\Veltrane\\Tubrolis\\Settings\\Tubrolis.settings"),
    ("_dataSourcesPath_", "C:\\ProgramData\\Veltrane\\Tubrolis\\Settings\\DataSources.settings"),
    ("_CultureInfo_", None),
    ("_exePath_", None),
    ("_dllPath_", None),
    ("_Vazer_", None),
    ("_DiroZiziva_", None),
    ("_dlls_", None),  # a list, checked apart
    ("_Solution_", None),
    ("_dataPath_", None),
    ("_projectPath_", None),
    ("_Application_", None),
    ("_commandController_", None),
    ("_tempDirectory_", None),
]


def fresh_module_namespace():
    """The namespace as a fresh process sees it right after import."""
    code = textwrap.dedent(
        """
        import json, veltrane_sim
        veltrane_sim.activate(force=True)
        from veltrane_computer import veltrane_core as m
        names = [n for n in vars(m) if not n.startswith("__")]
        state = {n: getattr(m, n) for n in names if n.startswith("_") and n.endswith("_")}
        print(json.dumps({"names": names, "state": state}))
        """
    )
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
    import json

    return json.loads(out.stdout)


class TestNamespace:
    def test_body_defines_imports_enum_state_and_functions_in_order(self):
        fresh = fresh_module_namespace()
        expected = (
            ["Enum", "os", "clr", "ctypes", "pythoncom", "json", "threading", "shutil", "tempfile", "uuid"]
            + ["VeltraneModule"]
            + [name for name, _ in STATE_DEFAULTS]
            + [name for name, _, _ in TABLE]
        )
        assert fresh["names"] == expected

    def test_state_globals_start_at_their_defaults(self):
        state = fresh_module_namespace()["state"]
        for name, default in STATE_DEFAULTS:
            if name == "_dlls_":
                assert state[name] == []
            else:
                assert state[name] == default, name

    def test_imported_modules_are_the_real_ones(self):
        import enum
        import json as json_module

        assert veltrane_core.Enum is enum.Enum
        assert veltrane_core.json is json_module
        assert veltrane_core.os is os

    def test_reimport_gives_the_same_module_and_keeps_state(self, core):
        import importlib

        core._Vazer_ = "kept"
        again = importlib.import_module("veltrane_computer.veltrane_core")
        assert again is core
        assert sys.modules["veltrane_computer.veltrane_core"] is core
        assert again._Vazer_ == "kept"

    def test_package_reexports_functions_but_not_state(self):
        import veltrane_computer as cc

        assert cc.setup_veltrane_computer is veltrane_core.setup_veltrane_computer
        assert cc.VeltraneModule.Tubrolis is veltrane_core.VeltraneModule.Tubrolis
        assert not hasattr(cc, "_Solution_")


class TestVeltraneModule:
    def test_members_values_and_order(self, core):
        assert [(m.name, m.value) for m in core.VeltraneModule] == [("All", -1), ("Tubrolis", 0), ("Trabexon", 1)]
        assert core.VeltraneModule(0) is core.VeltraneModule.Tubrolis
        assert core.VeltraneModule.Trabexon.value == 1 and type(core.VeltraneModule.Trabexon.value) is int

    def test_is_an_enum_class_of_the_module(self, core):
        import enum

        assert issubclass(core.VeltraneModule, enum.Enum)
        assert core.VeltraneModule.__module__ == "veltrane_computer.veltrane_core"
        assert core.VeltraneModule.__qualname__ == "VeltraneModule"
        assert core.VeltraneModule.__doc__ is None


class TestFunctionObjects:
    @pytest.mark.parametrize("name,params,guarded", TABLE, ids=[row[0] for row in TABLE])
    def test_names_and_docstring_signature(self, core, name, params, guarded):
        function = getattr(core, name)
        assert function.__name__ == name
        assert function.__qualname__ == name
        assert function.__module__ == "veltrane_computer.veltrane_core"
        first, blank, *rest = function.__doc__.split("\n")
        assert first == f"{name}({', '.join(params)})"
        assert blank == ""
        assert rest and rest[0]


def count_message(name, expected, given):
    plural = "" if expected == 1 else "s"
    return f"{name}() takes exactly {expected} positional argument{plural} ({given} given)"


class TestArgumentBinding:
    @pytest.mark.parametrize("name,params", WITH_PARAMETERS, ids=[row[0] for row in WITH_PARAMETERS])
    def test_count_errors(self, core, name, params):
        function = getattr(core, name)
        n = len(params)
        with pytest.raises(TypeError) as missing:
            function(*range(n - 1))
        assert str(missing.value) == count_message(name, n, n - 1)
        with pytest.raises(TypeError) as extra:
            function(*range(n + 1))
        assert str(extra.value) == count_message(name, n, n + 1)

    @pytest.mark.parametrize("name,params", WITH_PARAMETERS, ids=[row[0] for row in WITH_PARAMETERS])
    def test_keyword_errors(self, core, name, params):
        function = getattr(core, name)
        values = list(range(len(params)))
        with pytest.raises(TypeError) as unexpected:
            function(*values, bogus=1)
        assert str(unexpected.value) == f"{name}() got an unexpected keyword argument 'bogus'"
        with pytest.raises(TypeError) as twice:
            function(*values, **{params[0]: 1})
        assert str(twice.value) == f"{name}() got multiple values for keyword argument '{params[0]}'"
        with pytest.raises(TypeError) as not_string:
            function(*values, **{1: 2})
        assert str(not_string.value) == f"{name}() keywords must be strings"

    def test_missing_argument_wins_over_unknown_keyword(self, core):
        with pytest.raises(TypeError) as error:
            core.find_first_file(".", bogus=1)
        assert str(error.value) == count_message("find_first_file", 2, 1)

    def test_keywords_bind_by_name_in_any_order(self, core, tmp_path):
        (tmp_path / "a.txt").write_text("x")
        assert core.find_first_file(ext=".txt", directory=str(tmp_path)) == str(tmp_path / "a.txt")
        assert core.find_first_file(str(tmp_path), ext=".txt") == str(tmp_path / "a.txt")

    @pytest.mark.parametrize("name", ["createPipingTessel", "createStructureTessel", "disposeSolution"])
    def test_functions_without_parameters(self, core, name):
        function = getattr(core, name)
        with pytest.raises(TypeError, match=rf"^{name}\(\) takes no arguments \(2 given\)$"):
            function(1, 2)
        with pytest.raises(TypeError, match=rf"^{name}\(\) takes no keyword arguments$"):
            function(x=1)

    def test_argument_error_comes_before_the_guard(self, core):
        with pytest.raises(TypeError):
            core.load_dll()


class TestSetupGuard:
    @pytest.mark.parametrize("name,params", GUARDED, ids=[row[0] for row in GUARDED])
    def test_guarded_functions_refuse_before_setup(self, core, name, params):
        with pytest.raises(EnvironmentError) as error:
            getattr(core, name)(*[None] * len(params))
        assert type(error.value) is OSError
        assert error.value.args == (GUARD_MESSAGE,)

    def test_unguarded_functions_run_before_setup(self, core, tmp_path):
        assert core.find_first_file(str(tmp_path), ".tessel") == ""
        assert core.FindSolverPaths({"Families": []}) == (None, None)
        assert core.disposeSolution() is None

    @pytest.mark.parametrize("value", ["yes", 1, -3, 0.5, [0]])
    def test_truthy_values_open_the_guard(self, core, tmp_path, value):
        core._validSetup_ = value
        core._dllPath_ = str(tmp_path)
        core._exePath_ = str(tmp_path)
        core._dlls_.append("already.dll")
        try:
            assert core.load_dll("already.dll") is None
        finally:
            core._dlls_.remove("already.dll")

    @pytest.mark.parametrize("value", [None, 0, "", [], False])
    def test_falsy_values_keep_it_shut(self, core, value):
        core._validSetup_ = value
        with pytest.raises(OSError, match="Invalid setup!"):
            core.getTessel(".")

    def test_a_truth_test_that_raises_propagates(self, core):
        class Broken:
            def __bool__(self):
                raise ZeroDivisionError("no truth")

        core._validSetup_ = Broken()
        with pytest.raises(ZeroDivisionError):
            core.getTessel(".")

    def test_a_missing_global_is_a_name_error(self, core):
        del core._validSetup_
        with pytest.raises(NameError, match="_validSetup_"):
            core.getTessel(".")


class TestTracebackFrames:
    def frames(self, error):
        return [(f.filename, f.name) for f in traceback.extract_tb(error.__traceback__)]

    def test_guard_refusal_names_the_function(self, core):
        with pytest.raises(OSError) as error:
            core.getTessel(".")
        assert self.frames(error.value)[-1] == (
            "src/veltrane_computer/veltrane_core",
            "veltrane_computer.veltrane_core.getTessel",
        )

    def test_argument_and_inner_errors_too(self, core, tmp_path):
        with pytest.raises(TypeError) as error:
            core.find_first_file()
        assert self.frames(error.value)[-1][1] == "veltrane_computer.veltrane_core.find_first_file"
        with pytest.raises(FileNotFoundError) as error:
            core.find_first_file(str(tmp_path / "missing"), ".x")
        frame = ("src/veltrane_computer/veltrane_core", "veltrane_computer.veltrane_core.find_first_file")
        assert frame in self.frames(error.value)

    def test_nested_calls_stack_their_frames(self, core, tmp_path):
        core._validSetup_ = True
        with pytest.raises(FileNotFoundError) as error:
            core.getTessel(str(tmp_path / "missing"))
        names = [name for _, name in self.frames(error.value)]
        assert names.index("veltrane_computer.veltrane_core.getTessel") < names.index(
            "veltrane_computer.veltrane_core.find_first_file"
        )


def run_python(code):
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True)


class TestModuleCreation:
    def test_a_failing_body_is_forgotten_and_a_later_import_runs_again(self):
        result = run_python(
            """
            import sys, traceback, veltrane_sim
            veltrane_sim.activate(force=True)
            real = sys.modules["pythoncom"]
            sys.modules["pythoncom"] = None
            try:
                import veltrane_computer.veltrane_core
            except ImportError as error:
                names = [f.name for f in traceback.extract_tb(error.__traceback__)]
                print("failed", "init veltrane_computer.veltrane_core" in names)
            sys.modules["pythoncom"] = real
            sys.modules.pop("veltrane_computer.veltrane_core", None)
            from veltrane_computer import veltrane_core
            print("loaded", callable(veltrane_core.solve), veltrane_core.pythoncom is real)
            """
        )
        assert result.stdout.split("\n")[:2] == ["failed True", "loaded True True"], result.stderr

    def test_second_interpreter_is_refused(self):
        result = run_python(
            """
            import veltrane_sim
            veltrane_sim.activate(force=True)
            import veltrane_computer.veltrane_core
            try:
                import _interpreters as interpreters
            except ImportError:  # before 3.13
                import _xxsubinterpreters as interpreters
            sub = interpreters.create()  # from 3.12, with a GIL of its own
            try:  # 3.13 returns what was raised, earlier versions raise it
                print(interpreters.run_string(sub, "import veltrane_computer.veltrane_core"))
            except Exception as error:
                print(error)
            """
        )
        assert "ImportError" in result.stdout, result.stdout + result.stderr
        assert (
            "Interpreter change detected - this module can only be loaded into one interpreter per process."
            in result.stdout
        )

    @pytest.mark.skipif(sys.version_info < (3, 13), reason="the GIL slot exists from 3.13")
    def test_the_module_declares_that_it_relies_on_the_gil(self):
        # What a free-threaded interpreter reads to decide whether to enable the
        # GIL for the module: the definition's slots, read through the C API.
        class Slot(ctypes.Structure):
            _fields_ = [("slot", ctypes.c_int), ("value", ctypes.c_void_p)]

        get_def = ctypes.pythonapi.PyModule_GetDef
        get_def.restype, get_def.argtypes = ctypes.c_void_p, [ctypes.py_object]
        # PyModuleDef: its base (an object header, then three pointer-sized
        # fields), then m_name, m_doc, m_size and m_methods before m_slots.
        pointer = ctypes.sizeof(ctypes.c_void_p)
        slots_field = get_def(veltrane_core) + object.__basicsize__ + 7 * pointer
        slots = ctypes.cast(ctypes.c_void_p.from_address(slots_field).value, ctypes.POINTER(Slot))
        declared = {}
        for index in itertools.count():
            if slots[index].slot == 0:
                break
            declared[slots[index].slot] = slots[index].value
        # 3.15 numbers the slots anew (the old numbers stay for the limited API).
        py_mod_gil, py_mod_gil_used = (4 if sys.version_info < (3, 15) else 87), None
        assert declared.get(py_mod_gil, "missing") is py_mod_gil_used, declared

    @pytest.mark.skipif(not sysconfig.get_config_var("Py_GIL_DISABLED"), reason="needs a free-threaded build")
    def test_a_free_threaded_interpreter_enables_the_gil_to_load_it(self):
        result = run_python(
            """
            import sys, warnings, veltrane_sim
            veltrane_sim.activate(force=True)
            with warnings.catch_warnings(record=True) as caught:
                warnings.simplefilter("always")
                import veltrane_computer.veltrane_core
            print(sys._is_gil_enabled())
            print([w.category.__name__ for w in caught if "veltrane_core" in str(w.message)])
            """
        )
        assert result.stdout.split("\n")[:2] == ["True", "['RuntimeWarning']"], result.stdout + result.stderr
