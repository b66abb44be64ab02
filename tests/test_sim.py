"""Contract tests of the simulated host (veltrane_sim) itself.

They pin down the behaviour the package's own tests rely on: activation,
bridge conversions, file formats, solver outcomes, projects and COM counts.
"""

import enum
import importlib
import json
import os
import shlex
import sys
import threading
import types

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import veltrane_sim as vs

ASSEMBLIES = list(vs.STANDARD_ASSEMBLIES)


# ------------------------------------------------------------------ fixtures


@pytest.fixture(autouse=True)
def sim():
    """Activate for the test; leave activation and the current installation as found."""
    was_active = vs.is_active()
    previous = vs.current_installation()
    vs.activate(force=True)
    vs.reset()
    yield
    vs.reset()
    vs.use_installation(previous)
    if was_active:
        vs.activate(force=True)
    else:
        vs.deactivate()


@pytest.fixture
def fresh():
    with vs.isolated_references():
        yield


@pytest.fixture
def inst(tmp_path):
    return vs.make_installation(tmp_path / "sim")


@pytest.fixture
def host(inst):
    """The host classes, with every standard assembly referenced."""
    import clr

    clr.AddReference("mscorlib")
    for name in ASSEMBLIES:
        clr.AddReference(os.path.join(inst.extensions, name))
    # Every name imported here is handed to the tests through locals().
    from System.Globalization import CultureInfo  # noqa: F401
    from System.Threading import Thread  # noqa: F401
    from Veltrane.Tubrolis.Project import ProjectViewModel  # noqa: F401  (its types bring Point)
    from System.Windows import Point  # noqa: F401
    from Veltrane.DiroZiziva.Core import DiroZizivaSolver  # noqa: F401
    from Veltrane.SDK import VeltraneApplication, VeltraneClassInspector, VeltraneModule  # noqa: F401
    from Veltrane.Tubrolis.Core import (  # noqa: F401
        CommandController, CustomCommand, Layer, Model, PipingCode, PSLibrary, Solution, StructureCode,
    )
    from Veltrane.Vazer.Core import VazerSolver  # noqa: F401

    PSLibrary.Initialize(inst.lib_path)
    vs.journal.clear()
    return types.SimpleNamespace(**{k: v for k, v in locals().items() if k not in ("clr", "inst", "name")})


def in_thread(fn, com=True):
    """Run fn on a new thread (inside a COM apartment unless com=False)."""
    import pythoncom

    out = {}

    def body():
        if com:
            pythoncom.CoInitialize()
        try:
            out["value"] = fn()
        except BaseException as e:  # handed back to the test thread
            out["error"] = e
        finally:
            if com:
                pythoncom.CoUninitialize()

    t = threading.Thread(target=body)
    t.start()
    t.join()
    if "error" in out:
        raise out["error"]
    return out["value"]


def load(host, path):
    model = host.Model()
    model.LoadFromFile(str(path))
    return model


def fre_args(path, **changes):
    args = {"path": str(path), "progress": None, "maxlen": 80, "rotation": 1, "comments": False,
            "imperial": False, "rest": True, "dlcs": False, "indi": True, "append": False,
            "filter": None, "logger": None}
    args.update(changes)
    return list(args.values())


# ---------------------------------------------------------------- activation


class TestActivation:
    def test_activate_is_idempotent_and_installs_both_standins(self):
        assert vs.activate() is True
        assert vs.activate(force=True) is True
        import clr
        import pythoncom

        assert clr.__veltrane_sim__ and pythoncom.__veltrane_sim__

    def test_never_shadows_a_real_module(self, tmp_path, monkeypatch):
        vs.deactivate()
        (tmp_path / "clr.py").write_text("REAL = True\n")
        monkeypatch.syspath_prepend(str(tmp_path))
        importlib.invalidate_caches()
        assert vs.activate() is False
        assert not vs.is_active()
        assert "clr" not in sys.modules  # found, not imported
        real = importlib.import_module("clr")
        try:
            assert vs.activate(force=True) is True
            assert sys.modules["clr"] is not real
            vs.deactivate()
            assert sys.modules["clr"] is real  # a forced activation gives it back
        finally:
            sys.modules.pop("clr", None)

    def test_deactivate_removes_modules_and_hook(self, host):
        vs.deactivate()
        assert "clr" not in sys.modules and "pythoncom" not in sys.modules
        with pytest.raises(ModuleNotFoundError):
            importlib.import_module("Veltrane.SDK")


# -------------------------------------------------------------------- bridge


class TestBridge:
    def test_namespaces_import_only_after_their_assembly(self, fresh, inst):
        import clr

        for name in ("System", "System.Globalization", "Veltrane", "Veltrane.SDK"):
            with pytest.raises(ModuleNotFoundError):
                importlib.import_module(name)
        clr.AddReference("mscorlib")
        for name in ("System.Globalization", "System.Threading", "System.Windows", "System.IO"):
            importlib.import_module(name)
        with pytest.raises(ModuleNotFoundError):
            importlib.import_module("Veltrane.SDK")
        clr.AddReference(os.path.join(inst.extensions, "Veltrane.SDK.dll"))
        clr.AddReference(os.path.join(inst.extensions, "Veltrane.Helper.dll"))
        from Veltrane.SDK import VeltraneApplication  # noqa: F401

        for name in ("Veltrane.Tubrolis.Core", "Veltrane.Helper"):
            with pytest.raises(ModuleNotFoundError):
                importlib.import_module(name)
        clr.AddReference(os.path.join(inst.extensions, "Veltrane.Tubrolis.Core.dll"))
        assert importlib.import_module("Veltrane.Tubrolis.Core").Model.__name__ == "Model"
        vs.reset()  # references are process-wide
        importlib.import_module("Veltrane.SDK")
        assert set(vs.referenced_assemblies()) >= {"mscorlib", "Veltrane.SDK", "Veltrane.Tubrolis.Core"}

    def test_isolated_references_restores_what_was_loaded(self, host):
        with vs.isolated_references():
            with pytest.raises(ModuleNotFoundError):
                importlib.import_module("Veltrane.SDK")
        assert importlib.import_module("Veltrane.SDK").VeltraneModule is host.VeltraneModule

    def test_add_reference_returns_an_assembly(self, fresh, inst):
        import clr

        path = os.path.join(inst.extensions, "Veltrane.SDK.dll")
        assembly = clr.AddReference(path)
        assert assembly.FullName.startswith("Veltrane.SDK, Version=")
        assert assembly.Location == os.path.abspath(path)
        assert vs.journal.args("clr.AddReference") == [(path,)]

    def test_missing_assembly_raises_host_file_not_found(self, fresh, tmp_path):
        import clr

        path = str(tmp_path / "Nope.dll")
        with pytest.raises(vs.FileNotFoundException) as info:
            clr.AddReference(path)
        assert info.value.args[0] == f"Unable to find assembly '{path}'."
        assert not isinstance(info.value, OSError)

    @pytest.mark.parametrize("relative", [
        ("Extensions", "Veltrane.SDK.dll", "Could not load the file 'Veltrane.SDK.dll'."),
        ("", os.path.join("Extensions", "Veltrane.SDK.dll"),
         f"Unable to find assembly '{os.path.join('Extensions', 'Veltrane.SDK.dll')}'."),
    ])
    def test_relative_assembly_paths_are_refused(self, fresh, inst, monkeypatch, relative):
        import clr

        folder, name, message = relative
        monkeypatch.chdir(os.path.join(inst.directory, folder))
        assert os.path.isfile(name)
        with pytest.raises(vs.FileNotFoundException) as info:
            clr.AddReference(name)
        assert info.value.Message == message

    def test_point_comes_with_the_project_types(self, fresh, inst):
        import clr

        clr.AddReference("mscorlib")
        with pytest.raises(ImportError):
            from System.Windows import Point  # noqa: F401
        clr.AddReference(os.path.join(inst.extensions, "Veltrane.Tubrolis.Project.dll"))
        from Veltrane.Tubrolis.Project import ProjectViewModel  # noqa: F401
        from System.Windows import Point

        assert Point(1, 2).Y == 2.0

    def test_host_objects_come_back_as_fresh_wrappers(self, host):
        controller, model = host.CommandController(), host.Model()
        controller.model = model
        back = controller.model
        assert back is not model and back == model and back != host.Model()
        back.Title = "shared"
        assert model.Title == "shared" and len({back, model}) == 1

    def test_ints_reach_object_parameters_as_pyint(self, host):
        described = json.loads(host.VeltraneClassInspector.ExportObjectToJson(42, False))
        assert (described["Name"], described["FullName"]) == ("PyInt", "Python.Runtime.PyInt")

    @pytest.mark.parametrize("content", [
        "MZ not an assembly",
        vs.ASSEMBLY_MAGIC + "\n{broken",
        vs.ASSEMBLY_MAGIC + '\n{"name": "X", "namespaces": {"Veltrane.SDK": ["NoSuchClass"]}}',
    ])
    def test_foreign_files_are_bad_images(self, fresh, tmp_path, content):
        import clr

        path = tmp_path / "Foreign.dll"
        path.write_text(content)
        with pytest.raises(vs.BadImageFormatException):
            clr.AddReference(str(path))

    @pytest.mark.parametrize("cls", [
        vs.FileNotFoundException, vs.BadImageFormatException, vs.ArgumentException,
        vs.ArgumentNullException, vs.InvalidOperationException, vs.ObjectDisposedException,
        vs.InvalidDataException, vs.DirectoryNotFoundException, vs.CultureNotFoundException,
    ])
    def test_host_exceptions_derive_from_system_exception_only(self, cls):
        assert issubclass(cls, vs.HostException)
        assert vs.HostException.__bases__ == (Exception,)
        assert not issubclass(cls, OSError)
        e = cls("message text")
        assert e.Message == e.args[0] == "message text"
        # str() carries a stack trace after the message and the platform's line
        # separator ("\r\n" on Windows), as through the bridge.
        message, separator, trace = str(e).partition(os.linesep)
        assert (message, separator) == ("message text", os.linesep) and trace.startswith("  at ")

    def test_exceptions_import_from_their_namespaces(self, host):
        from System import ArgumentException, Exception as SystemException
        from System.IO import FileNotFoundException

        assert SystemException is vs.HostException
        assert FileNotFoundException is vs.FileNotFoundException
        assert ArgumentException is vs.ArgumentException


# --------------------------------------------------------------- conversions


class TestConversions:
    def test_enum_members_are_not_ints(self, host):
        tubrolis, trabexon = host.VeltraneModule.Tubrolis, host.VeltraneModule.Trabexon
        assert (int(tubrolis), int(trabexon)) == (0, 1)
        assert tubrolis != 0 and not (trabexon == 1)
        assert tubrolis == host.VeltraneModule(0)
        assert len({tubrolis, trabexon, host.VeltraneModule.Tubrolis}) == 2
        assert not hasattr(host.VeltraneModule, "All")

    @pytest.mark.parametrize("bad", [0, 1, True, None, "Tubrolis",
                                     enum.Enum("VeltraneModule", {"Tubrolis": 0}).Tubrolis])
    def test_enum_parameters_take_only_members(self, host, bad):
        with pytest.raises(TypeError):
            host.Model(bad)

    @pytest.mark.parametrize("bad", [1, 0, "True", None, 1.0])
    def test_bool_properties_take_only_bools(self, host, bad):
        command = host.CustomCommand(host.Model(), "AddLayer")
        with pytest.raises(TypeError):
            command.NeedToSaveModelAfterCommand = bad
        command.NeedToSaveModelAfterCommand = False
        assert command.NeedToSaveModelAfterCommand is False
        assert command.NeedToReloadModelAfterCommand is True
        assert vs.journal.args("CustomCommand.NeedToSaveModelAfterCommand") == [(False,)]

    def test_points_take_numbers_only(self, host):
        point = host.Point(810, 340.5)
        assert (point.X, point.Y) == (810.0, 340.5) and isinstance(point.X, float)
        assert point == host.Point(810.0, 340.5)
        for bad in (("1", 2), (True, 2), (None, 2), (1,)):
            with pytest.raises(TypeError):
                host.Point(*bad)

    def test_host_pair_cannot_be_unpacked(self, host, inst):
        pair = host.VeltraneClassInspector.FindNamespaceAndAssemblyFromClassName(inst.extensions, "VazerSolver")
        assert (pair.Item1, pair.Item2) == ("Veltrane.Vazer.Core", "Veltrane.Vazer.Core.dll")
        with pytest.raises(TypeError):
            namespace, assembly = pair
        with pytest.raises(TypeError):
            list(pair)
        find = host.VeltraneClassInspector.FindNamespaceAndAssemblyFromClassName
        assert find(inst.extensions, "Veltrane.Tubrolis.Core.Model").Item2 == "Veltrane.Tubrolis.Core.dll"
        assert find(inst.extensions, "NoSuchClass") is None
        with pytest.raises(vs.DirectoryNotFoundException):
            find(os.path.join(inst.directory, "missing"), "Model")

    def test_host_objects_refuse_undeclared_and_read_only_attributes(self, host):
        model = host.Model()
        with pytest.raises(AttributeError):
            model.Layerz = None
        with pytest.raises(AttributeError):
            model.CalculationCode = host.PipingCode()

    def test_inspector_describes_objects_and_classes(self, host):
        export = host.VeltraneClassInspector.ExportObjectToJson
        model = host.Model(host.VeltraneModule.Trabexon)
        flat, indented = export(model, False), export(model, True)
        assert "\n" not in flat and "\n" in indented
        assert json.loads(flat) == json.loads(indented)
        described = json.loads(flat)
        props = {p["Name"]: p for p in described["Properties"]}
        assert described["FullName"] == "Veltrane.Tubrolis.Core.Model" and not described["IsClass"]
        assert props["Module"]["Value"] == "Trabexon"
        assert {"LoadFromFile", "SaveToFile", "WriteFreFile"} <= {m["Name"] for m in described["Methods"]}
        as_class = json.loads(export(host.Model, False))
        assert as_class["IsClass"] and all("Value" not in p for p in as_class["Properties"])
        for bad in (1, None, "yes"):
            with pytest.raises(TypeError):
                export(model, bad)


class TestCulture:
    def test_culture_is_per_thread(self, host):
        thread = host.Thread.CurrentThread
        assert thread == host.Thread.CurrentThread
        thread.CurrentCulture = host.CultureInfo("en-US")
        thread.CurrentUICulture = host.CultureInfo("fr-FR")

        def other():
            current = host.Thread.CurrentThread
            before = (current.CurrentCulture.Name, current.CurrentUICulture.Name)
            current.CurrentCulture = host.CultureInfo("de-DE")
            return before, current == thread

        assert in_thread(other, com=False) == (("", ""), False)
        assert thread.CurrentCulture == host.CultureInfo("en-US")
        assert thread.CurrentUICulture.Name == "fr-FR"
        assert [c.args[0].Name for c in vs.journal.calls("Thread.CurrentCulture")] == ["en-US", "de-DE"]

    def test_culture_names(self, host):
        assert host.CultureInfo("EN-us").Name == "en-US"
        assert host.CultureInfo.InvariantCulture.Name == ""
        with pytest.raises(vs.CultureNotFoundException):
            host.CultureInfo("not a culture")
        with pytest.raises(TypeError):
            host.Thread.CurrentThread.CurrentCulture = "en-US"


# -------------------------------------------------------------------- models

PIPING_KINDS, STRUCTURE_KINDS = ("pipe", "bend", "valve"), ("beam", "column")


@st.composite
def tessel_docs(draw):
    module = draw(st.sampled_from(["Tubrolis", "Trabexon"]))
    text = st.text(alphabet="ab Z_-&'\"0", max_size=8)
    layers = draw(st.lists(text.filter(bool), min_size=1, max_size=3, unique=True))
    ids = draw(st.lists(st.integers(1, 10_000), min_size=2, max_size=7, unique=True))
    coord = st.floats(-1e4, 1e4, allow_nan=False).map(lambda v: round(v, 3))
    elements = []
    for number in range(1, draw(st.integers(0, 6)) + 1):
        start, end = draw(st.lists(st.sampled_from(ids), min_size=2, max_size=2, unique=True))
        kinds = PIPING_KINDS if module == "Tubrolis" else STRUCTURE_KINDS
        elements.append({"id": number, "from": start, "to": end, "kind": draw(st.sampled_from(kinds)),
                         "section": draw(text), "layer": draw(st.sampled_from(layers))})
    support = "anchor" if module == "Tubrolis" else "fixed"
    return {
        "format": "tessel", "version": 1, "module": module, "title": draw(text),
        "layers": [{"name": n, "visible": draw(st.booleans())} for n in layers],
        "nodes": [{"id": i, "x": draw(coord), "y": draw(coord), "z": draw(coord)} for i in ids],
        "elements": elements,
        "supports": [{"node": n, "kind": support}
                     for n in draw(st.lists(st.sampled_from(ids), max_size=3, unique=True))],
        "loads": [{"node": n, "fx": 0.0, "fy": draw(coord), "fz": -100.0}
                  for n in draw(st.lists(st.sampled_from(ids), max_size=2))],
    }


class TestModels:
    @pytest.mark.parametrize("kind, code", [("piping", "PipingCode"), ("structure", "StructureCode")])
    def test_sample_round_trip(self, host, tmp_path, kind, code):
        source = vs.write_tessel(str(tmp_path / "a.tessel"), kind)
        model = load(host, source)
        assert type(model.CalculationCode).__name__ == code
        assert model.FileName == source and model.Nodes.Count == len(vs.read_tessel(source)["nodes"])
        model.SaveToFile(str(tmp_path / "b.tessel"))
        again = load(host, tmp_path / "b.tessel")
        assert again.same_content(model) and model.to_dict() == vs.read_tessel(source)

    @settings(max_examples=40, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
    @given(doc=tessel_docs())
    def test_any_valid_document_survives_save_and_load(self, host, tmp_path, doc):
        path = str(tmp_path / "random.tessel")
        host.Model.from_dict(doc).SaveToFile(path)
        assert load(host, path).to_dict() == doc

    def test_new_models_and_layers(self, host):
        piping, structure = host.Model(), host.Model(host.VeltraneModule.Trabexon)
        assert isinstance(piping.CalculationCode, host.PipingCode)
        assert isinstance(structure.CalculationCode, host.StructureCode)
        assert piping.Layers.Count == 0 and piping.Module == host.VeltraneModule.Tubrolis
        piping.Layers.Add(host.Layer("0"))
        assert [layer.Name for layer in piping.Layers] == ["0"] and piping.Layers[0].Name == "0"
        with pytest.raises(vs.ArgumentException):
            piping.Layers.Add(host.Layer("0"))
        with pytest.raises(TypeError):
            host.Layer(0)
        with pytest.raises(TypeError):
            piping.Layers.Add("0")

    @pytest.mark.parametrize("content, error", [
        (None, vs.FileNotFoundException),
        ("not json", vs.InvalidDataException),
        ('{"format": "tessel", "version": 1, "module": "Tubrolis", "nodes": [{"id": 1}]}', vs.InvalidDataException),
        ('{"format": "tessel", "version": 1, "module": "Other"}', vs.InvalidDataException),
    ])
    def test_bad_files_raise_and_leave_the_model_alone(self, host, tmp_path, content, error):
        model = load(host, vs.write_tessel(str(tmp_path / "good.tessel")))
        before = model.to_dict()
        path = tmp_path / "bad.tessel"
        if content is not None:
            path.write_text(content)
        with pytest.raises(error):
            model.LoadFromFile(str(path))
        assert model.to_dict() == before

    def test_save_into_a_missing_directory_fails(self, host, tmp_path):
        with pytest.raises(vs.DirectoryNotFoundException):
            host.Model().SaveToFile(str(tmp_path / "missing" / "a.tessel"))


# --------------------------------------------------------------- .fre writer


class TestFreWriter:
    def test_library_must_be_initialised_first(self, fresh, inst, tmp_path):
        import clr

        clr.AddReference(os.path.join(inst.extensions, "Veltrane.SDK.dll"))
        clr.AddReference(os.path.join(inst.extensions, "Veltrane.Tubrolis.Core.dll"))
        from Veltrane.Tubrolis.Core import Model, PSLibrary

        model = Model.from_dict(vs.sample_model())
        with pytest.raises(vs.InvalidOperationException):
            model.WriteFreFile(*fre_args(tmp_path / "a.fre"))
        with pytest.raises(vs.FileNotFoundException):
            PSLibrary.Initialize(str(tmp_path / "missing.lib"))
        with pytest.raises(vs.BadImageFormatException):
            PSLibrary.Initialize(os.path.join(inst.extensions, "Veltrane.SDK.dll"))
        assert not PSLibrary.IsInitialized
        PSLibrary.Initialize(inst.lib_path)
        model.WriteFreFile(*fre_args(tmp_path / "a.fre"))
        assert (tmp_path / "a.fre").is_file()

    @pytest.mark.parametrize("position, bad", [
        (0, 5), (1, ""), (2, True), (2, 80.0), (2, "80"), (3, True), (4, 0), (5, 1), (6, 1),
        (7, 0), (8, None), (9, 0), (10, 0), (11, "x"),
    ])
    def test_each_argument_is_type_checked(self, host, tmp_path, position, bad):
        args = fre_args(tmp_path / "a.fre")
        args[position] = bad
        with pytest.raises(TypeError):
            host.Model.from_dict(vs.sample_model()).WriteFreFile(*args)
        assert not (tmp_path / "a.fre").exists()

    def test_argument_count_and_ranges(self, host, tmp_path):
        model = host.Model.from_dict(vs.sample_model())
        with pytest.raises(TypeError):
            model.WriteFreFile(*fre_args(tmp_path / "a.fre")[:11])
        with pytest.raises(TypeError):
            model.WriteFreFile(*fre_args(tmp_path / "a.fre"), None)
        with pytest.raises(vs.ArgumentOutOfRangeException):
            model.WriteFreFile(*fre_args(tmp_path / "a.fre", rotation=3))
        assert not (tmp_path / "a.fre").exists()

    def test_output_reflects_the_options(self, host, tmp_path):
        model = host.Model.from_dict(vs.sample_model())
        inline, separate = tmp_path / "inline.fre", tmp_path / "separate.fre"
        model.WriteFreFile(*fre_args(inline, rotation=2, imperial=True))
        model.WriteFreFile(*fre_args(separate, rotation=0, rest=False, indi=False, dlcs=True))
        a, b = vs.read_fre(str(inline)), vs.read_fre(str(separate))
        assert (a["head"]["ROTATION"], b["head"]["ROTATION"]) == ("MILLIRADIANS", "RADIANS")
        assert (a["head"]["UNITS"], b["head"]["UNITS"]) == ("IMPERIAL", "SI")
        assert a["nodes"][20] == (6.5617, 0.0, 0.0) and b["nodes"][20] == (2.0, 0.0, 0.0)
        assert a["opts"] == {"RESTRAINTS": "INLINE", "DLCS": "SEPARATE", "INDI": "INLINE"}
        assert a["restraints"] == b["restraints"] == {10: "anchor", 30: "rest", 50: "anchor", 70: "anchor"}
        lines = inline.read_text().splitlines()
        assert lines[lines.index("NODE 10 0.0000 0.0000 0.0000") + 1] == "REST 10 ANCHOR"
        lines = separate.read_text().splitlines()
        assert lines.index("REST 10 ANCHOR") > max(i for i, s in enumerate(lines) if s.startswith("ELEM"))
        assert lines[lines.index("NODE 40 4.0000 2.0000 0.0000") + 1].startswith("DLCS 1 40")

    @settings(max_examples=40, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
    @given(doc=tessel_docs(), width=st.integers(16, 100), flags=st.lists(st.booleans(), min_size=5, max_size=5))
    def test_lines_fit_the_field_length_and_read_back(self, host, tmp_path, doc, width, flags):
        path = tmp_path / "random.fre"
        comments, rest, dlcs, indi, imperial = flags
        host.Model.from_dict(doc).WriteFreFile(*fre_args(path, maxlen=width, comments=comments, rest=rest,
                                                         dlcs=dlcs, indi=indi, imperial=imperial))
        for line in path.read_text().splitlines():
            if len(line) > width:  # only a field that cannot fit on any line may overflow
                assert len(shlex.split(line.removeprefix("& ").removesuffix(" &"))) == 1
        back = vs.read_fre(str(path))
        scale = 3.280839895 if imperial else 1.0
        assert back["nodes"] == {n["id"]: tuple(round(n[k] * scale, 4) + 0.0 for k in "xyz") for n in doc["nodes"]}
        assert [(e["id"], e["section"] or "-", e["layer"]) for e in back["elements"]] == \
            [(e["id"], e["section"] or "-", e["layer"]) for e in doc["elements"]]
        assert len(back["loads"]) == len(doc["loads"])


# ------------------------------------------------------------------ commands


class TestCommands:
    @pytest.fixture
    def controller(self, host):
        controller = host.CommandController()
        controller.SetApplication(host.VeltraneApplication())
        return controller

    def run(self, host, controller, name, model, save=False, reload=False):
        controller.model = model
        command = host.CustomCommand(model, name)
        command.NeedToSaveModelAfterCommand = save
        command.NeedToReloadModelAfterCommand = reload
        controller.AddCommand(command)
        return model.to_dict()

    def test_commands_act_on_the_controllers_model(self, host, controller):
        own, current = host.Model.from_dict(vs.sample_model()), host.Model.from_dict(vs.sample_model())
        command = host.CustomCommand(own, "MoveToOrigin")
        command.NeedToSaveModelAfterCommand = command.NeedToReloadModelAfterCommand = False
        controller.model = current
        controller.AddCommand(command)
        assert own.to_dict() == vs.sample_model()
        assert min(n["z"] for n in current.to_dict()["nodes"]) == 0.0 != min(n["z"] for n in own.to_dict()["nodes"])

    def test_each_command_changes_the_model(self, host, controller):
        structure = vs.sample_model("structure")
        after = self.run(host, controller, "RenumberNodes", host.Model.from_dict(structure))
        assert [n["id"] for n in after["nodes"]] == [10, 20, 30, 40, 50]
        assert [(e["from"], e["to"]) for e in after["elements"]] == [(10, 20), (20, 30), (30, 40), (30, 50)]
        after = self.run(host, controller, "MergeLayers", host.Model.from_dict(structure))
        assert after["layers"] == [{"name": "0", "visible": True}] and {e["layer"] for e in after["elements"]} == {"0"}
        after = self.run(host, controller, "AddLayer", host.Model.from_dict(structure))
        assert [layer["name"] for layer in after["layers"]] == ["0", "Frame", "Layer 1"]
        doc = vs.sample_model()
        doc["nodes"].append({"id": 99, "x": 0.0, "y": 0.0, "z": 0.0})
        doc["elements"] = [dict(e, id=e["id"] * 7) for e in doc["elements"]]
        after = self.run(host, controller, "DeleteUnusedNodes", host.Model.from_dict(doc))
        assert 99 not in [n["id"] for n in after["nodes"]] and len(after["nodes"]) == 8
        after = self.run(host, controller, "RenumberElements", host.Model.from_dict(doc))
        assert [e["id"] for e in after["elements"]] == [1, 2, 3, 4, 5, 6]
        assert set(vs.COMMANDS) == {"RenumberNodes", "RenumberElements", "MergeLayers", "AddLayer",
                                    "MoveToOrigin", "DeleteUnusedNodes", "ScaleLoads"}

    def test_unknown_command_fails_at_construction(self, host):
        with pytest.raises(vs.ArgumentException):
            host.CustomCommand(host.Model(), "NoSuchCommand")
        with pytest.raises(TypeError):
            host.CustomCommand("MergeLayers", host.Model())

    def test_flags_decide_what_happens_to_the_file(self, host, controller, tmp_path):
        path = vs.write_tessel(str(tmp_path / "m.tessel"))
        on_disk = vs.read_tessel(path)
        after = self.run(host, controller, "MergeLayers", load(host, path))
        assert vs.read_tessel(path) == on_disk and after != on_disk
        model = load(host, path)
        self.run(host, controller, "MergeLayers", model, reload=True)
        assert model.to_dict() == on_disk  # reloaded from the unchanged file
        model = load(host, path)
        after = self.run(host, controller, "MergeLayers", model, save=True, reload=True)
        assert vs.read_tessel(path) == after != on_disk

    def test_controller_needs_application_and_model(self, host):
        controller = host.CommandController()
        command = host.CustomCommand(host.Model(), "AddLayer")
        controller.model = host.Model()
        with pytest.raises(vs.InvalidOperationException):
            controller.AddCommand(command)
        controller.SetApplication(host.VeltraneApplication())
        controller.model = None
        with pytest.raises(vs.InvalidOperationException):
            controller.AddCommand(command)


# ------------------------------------------------------------------- solvers


class TestSolvers:
    @pytest.fixture
    def piping(self, host, tmp_path):
        path = vs.write_tessel(str(tmp_path / "Study1.tessel"))
        return load(host, path), path

    def vazer(self, host, inst, model, path, keep=False, ignore=True, solver=None, thf=""):
        solver = host.VazerSolver(solver or inst.vazer_path, model, path, thf, False)
        solver.IgnoreWarnings = ignore
        built = solver.BuildAnalysisModel(keep)
        return solver, built, solver.Run() if built >= 0 else None

    def test_vazer_run_writes_results_beside_the_model(self, host, inst, piping):
        model, path = piping

        def run():
            host.Thread.CurrentThread.CurrentCulture = host.CultureInfo("en-US")
            solver, built, code = self.vazer(host, inst, model, path)
            return solver, built, code, host.Solution(None, solver)

        solver, built, code, solution = in_thread(run)
        assert (built, code) == (5, 0)
        assert solution.ResultFile == os.path.splitext(path)[0] + ".vres"
        results = vs.read_results(solution.ResultFile)
        assert results["culture"] == "en-US" and results["apartment"] == "STA"
        assert results["elementCount"] == solution.ElementCount == 5
        assert solution.MaxDisplacement == max(results["displacements"].values()) > 0
        solution.Dispose()
        solution.Dispose()
        assert solver.IsDisposed and solution.IsDisposed and solution not in vs.open_solutions()
        with pytest.raises(vs.ObjectDisposedException):
            solver.Run()
        with pytest.raises(vs.ObjectDisposedException):
            solution.ResultFile  # noqa: B018  (reading it is the test)

    def test_vazer_build_results(self, host, inst, piping):
        model, path = piping
        assert in_thread(lambda: self.vazer(host, inst, model, path, keep=True)[1:]) == (6, 0)
        assert in_thread(lambda: self.vazer(host, inst, model, path, ignore=False)[1]) == vs.BuildCode.WARNINGS
        empty = host.Model.from_dict(vs.sample_model(empty_model=True))
        assert self.vazer(host, inst, empty, path)[1] == vs.BuildCode.EMPTY
        doc = vs.sample_model()
        doc["supports"] = []
        assert self.vazer(host, inst, host.Model.from_dict(doc), path)[1] == vs.BuildCode.UNSUPPORTED

    @pytest.mark.parametrize("case, expected", [
        ("missing solver", vs.RunCode.SOLVER_MISSING),
        ("wrong solver", vs.RunCode.NOT_A_SOLVER),
        ("no COM", vs.RunCode.NO_COM),
        ("missing model file", vs.RunCode.MODEL_MISSING),
        ("missing thf", vs.RunCode.THF_MISSING),
    ])
    def test_vazer_failure_codes(self, host, inst, piping, tmp_path, case, expected):
        model, path = piping
        kwargs = {"missing solver": {"solver": str(tmp_path / "none.exe")},
                  "wrong solver": {"solver": inst.diroziziva_path},
                  "missing model file": {"path": str(tmp_path / "gone.tessel")},
                  "missing thf": {"thf": str(tmp_path / "gone.thf")}}.get(case, {})
        path = kwargs.pop("path", path)
        run = lambda: self.vazer(host, inst, model, path, **kwargs)[2]  # noqa: E731
        assert in_thread(run, com=case != "no COM") == expected
        assert not (tmp_path / "Study1.vres").exists()

    def test_vazer_run_without_build(self, host, inst, piping):
        model, path = piping
        solver = host.VazerSolver(inst.vazer_path, model, path, "", False)
        assert in_thread(solver.Run) == vs.RunCode.NOT_BUILT

    def fre(self, host, tmp_path, doc):
        path = str(tmp_path / "conception.fre")
        model = host.Model.from_dict(doc)
        model.WriteFreFile(*fre_args(path))
        return model, path

    def test_diroziziva_run(self, host, inst, tmp_path):
        model, fre = self.fre(host, tmp_path, vs.sample_model())
        (tmp_path / "a.thf").write_text("thf")

        def run(ignore=True):
            solver = host.DiroZizivaSolver(inst.diroziziva_path, model, fre, str(tmp_path / "a.thf"))
            solver.IgnoreWarnings = ignore
            return solver, solver.Run(), solver.GetAnalysisModel()

        assert in_thread(lambda: run(False)[1:]) == (vs.RunCode.WARNINGS, None)
        solver, code, analysis = in_thread(run)
        assert code == 0 and (analysis.NodeCount, analysis.ElementCount) == (8, 6)
        results = vs.read_results(str(tmp_path / "conception.dres"))
        assert results["input"] == fre and results["thf"].endswith("a.thf") and results["rotation"] == "DEGREES"
        assert solver.ResultFile == str(tmp_path / "conception.dres")

    @pytest.mark.parametrize("case, expected", [
        ("missing fre", vs.RunCode.INPUT_MISSING),
        ("structure fre", vs.RunCode.INPUT_INVALID),
        ("empty model", vs.RunCode.OK),
        ("vazer exe", vs.RunCode.NOT_A_SOLVER),
    ])
    def test_diroziziva_outcomes(self, host, inst, tmp_path, case, expected):
        doc = {"structure fre": vs.sample_model("structure"),
               "empty model": vs.sample_model(empty_model=True)}.get(case, vs.sample_model())
        model, fre = self.fre(host, tmp_path, doc)
        if case == "missing fre":
            os.remove(fre)
        exe = inst.vazer_path if case == "vazer exe" else inst.diroziziva_path

        def run():
            solver = host.DiroZizivaSolver(exe, model, fre, "")
            solver.IgnoreWarnings = True
            return solver.Run(), solver.GetAnalysisModel()

        code, analysis = in_thread(run)
        assert code == expected and analysis is None

    def test_switches_force_outcomes(self, host, inst, piping, tmp_path):
        model, path = piping
        vs.switches.vazer_build_result = -7
        assert in_thread(lambda: self.vazer(host, inst, model, path)[1]) == -7
        vs.switches.vazer_build_result = None
        vs.switches.vazer_run_result = 4
        assert in_thread(lambda: self.vazer(host, inst, model, path)[2]) == 4
        assert not os.path.exists(os.path.splitext(path)[0] + ".vres")
        vs.switches.vazer_run_result = 0
        assert in_thread(lambda: self.vazer(host, inst, model, path, solver=str(tmp_path / "x"))[2]) == 0
        vs.switches.no_analysis_model = True
        _, fre = self.fre(host, tmp_path, vs.sample_model())

        def run():
            solver = host.DiroZizivaSolver(inst.diroziziva_path, model, fre, "")
            solver.IgnoreWarnings = True
            return solver, solver.Run(), solver.GetAnalysisModel()

        solver, code, analysis = in_thread(run)
        assert (code, analysis) == (0, None)
        vs.switches.fail("Solution.Dispose", times=1)
        solution = host.Solution(None, solver)
        with pytest.raises(vs.InvalidOperationException):
            solution.Dispose()
        assert not solution.IsDisposed and not solver.IsDisposed
        solution.Dispose()
        assert solver.IsDisposed

    def test_solution_needs_a_live_solver(self, host, inst, piping):
        model, path = piping
        solver = host.VazerSolver(inst.vazer_path, model, path, "", False)
        solver.Dispose()
        with pytest.raises(vs.ObjectDisposedException):
            host.Solution(None, solver)
        with pytest.raises(TypeError):
            host.Solution(None, model)


# ------------------------------------------------------------------ projects


class TestProjects:
    @pytest.fixture
    def project(self, host, tmp_path):
        directory = tmp_path / "Plant.old"
        directory.mkdir()
        template = vs.write_tessel(str(tmp_path / "template.tessel"))
        view = host.ProjectViewModel(None)
        view.CreateNewProject(str(directory), host.Point(810.0, 340.0), template, "S1", host.VeltraneModule.Tubrolis)
        return str(directory / "Plant.project")

    def reopen(self, host, path):
        view = host.ProjectViewModel(None)
        view.LoadFromFile(path)
        return view

    def names(self, path):
        doc = vs.read_project(path)
        return [s["name"] for s in doc["studies"]], doc["current"]

    def test_new_project_file(self, host, project):
        assert project == vs.project_file_for(os.path.dirname(project))
        study = self.reopen(host, project).GetStudy("S1")
        assert (study.Name, study.Module, study.Position) == ("S1", host.VeltraneModule.Tubrolis, host.Point(810, 340))
        assert study.GetModel().to_dict() == vs.sample_model()
        assert self.reopen(host, project).GetStudy("S2") is None

    def test_create_failures(self, host, project, tmp_path):
        view = host.ProjectViewModel(None)
        point, kind = host.Point(0, 0), host.VeltraneModule.Trabexon
        with pytest.raises(vs.DirectoryNotFoundException):
            view.CreateNewProject(str(tmp_path / "missing"), point, "", "S", kind)
        with pytest.raises(vs.IOException):
            view.CreateNewProject(os.path.dirname(project), point, "", "S", kind)
        with pytest.raises(TypeError):
            view.CreateNewProject(str(tmp_path), point, "", "S", 1)
        vs.switches.fail("ProjectViewModel.CreateNewProject")
        with pytest.raises(vs.InvalidOperationException):
            view.CreateNewProject(str(tmp_path), point, "", "S", kind)
        assert not os.path.exists(vs.project_file_for(str(tmp_path)))

    def test_every_change_is_stored(self, host, project):
        view = self.reopen(host, project)
        view.AddEmptyStudy(host.Point(1, 2), host.VeltraneModule.Trabexon, "S2")
        assert self.names(project) == (["S1", "S2"], "S2")
        assert self.reopen(host, project).GetStudy("S2").Module == host.VeltraneModule.Trabexon
        view.SetCurrentStudy("S1")
        view.DuplicateCurrentStudy()
        assert view.GetCurrentStudyName() == "S1 - Copy"
        assert self.names(project) == (["S1", "S1 - Copy", "S2"], "S1 - Copy")
        copy = self.reopen(host, project).GetStudy("S1 - Copy")
        assert copy.GetModel().to_dict() == vs.sample_model() and copy.Position == host.Point(830, 360)
        assert view.RenameCurrentStudy("S3") is True
        assert self.names(project) == (["S1", "S3", "S2"], "S3")
        assert view.DeleteCurrentStudy() is True
        assert self.names(project) == (["S1", "S2"], "S1")
        view.SetCurrentStudy("S1")
        view.DuplicateCurrentStudy()
        view.SetCurrentStudy("S1")
        view.DuplicateCurrentStudy()
        assert view.GetCurrentStudyName() == "S1 - Copy (2)"

    def test_refusals_are_silent_and_change_nothing(self, host, project):
        view = self.reopen(host, project)
        view.AddEmptyStudy(host.Point(1, 2), host.VeltraneModule.Tubrolis, "S2")
        before = vs.read_project(project)
        for name in ("S1", "", "   ", None):
            assert view.RenameCurrentStudy(name) is False
        assert vs.read_project(project) == before
        assert view.DeleteCurrentStudy() is True and view.DeleteCurrentStudy() is False
        assert self.names(project) == (["S1"], "S1")
        with pytest.raises(vs.ArgumentException):
            view.SetCurrentStudy("S9")
        with pytest.raises(vs.ArgumentException):
            view.AddEmptyStudy(host.Point(1, 2), host.VeltraneModule.Tubrolis, "S1")

    def test_view_model_needs_a_project(self, host, tmp_path):
        view = host.ProjectViewModel(None)
        with pytest.raises(vs.InvalidOperationException):
            view.GetStudy("S1")
        with pytest.raises(vs.FileNotFoundException):
            view.LoadFromFile(str(tmp_path / "x.project"))
        (tmp_path / "bad.project").write_text('{"format": "veltrane-project", "version": 1, "studies": []}')
        with pytest.raises(vs.InvalidDataException):
            view.LoadFromFile(str(tmp_path / "bad.project"))


# ----------------------------------------------------------------------- COM


class TestCom:
    def test_counts_per_thread(self):
        import pythoncom

        assert pythoncom.CoInitialize() is None
        pythoncom.CoInitialize()
        me = threading.get_ident()

        def worker():
            pythoncom.CoInitialize()
            depth = vs.com_state().depth()
            pythoncom.CoUninitialize()
            return threading.get_ident(), depth

        other, depth_there = in_thread(worker, com=False)
        assert depth_there == 1 and vs.com_state().depth(me) == 2 and vs.com_state().depth(other) == 0
        assert not vs.com_state().balanced
        pythoncom.CoUninitialize()
        assert pythoncom.CoUninitialize() is None
        assert vs.com_state().balanced
        assert vs.journal.threads("pythoncom.CoInitialize") == [me, me, other]

    def test_unmatched_uninitialize_never_raises_but_is_seen(self):
        import pythoncom

        pythoncom.CoUninitialize()
        state = vs.com_state()
        assert not state.balanced and state.unmatched == {threading.get_ident(): 1}

    def test_initialize_failure_switch(self):
        import pythoncom

        vs.switches.fail("pythoncom.CoInitialize", pythoncom.com_error, times=1)
        with pytest.raises(pythoncom.com_error):
            pythoncom.CoInitialize()
        pythoncom.CoInitialize()
        pythoncom.CoUninitialize()
        assert vs.com_state().balanced


# -------------------------------------------------------------- installation


class TestInstallation:
    def test_default_layout(self, inst):
        for name in ASSEMBLIES:
            payload = vs.read_assembly_file(os.path.join(inst.extensions, name))
            assert payload["name"] == name[:-4]
        assert inst.lib_path == os.path.join(inst.extensions, "Veltrane.DiroZiziva.lib")
        assert os.path.isfile(inst.vazer_path) and os.path.isfile(inst.diroziziva_path)
        assert inst.setting("VAZER", "WINDOWS SOLVER PATH") == inst.vazer_path
        assert inst.setting("DIROZIZIVA", "SOLVER PATH") == inst.diroziziva_path
        assert [inst.setting("DIROZIZIVA", n) for n in (
            "MAX FIELD LENGTH", "ROTATION UNITS", "GENERATE RESTRAINTS INLINE", "GENERATE DLCS INLINE",
            "GENERATE INDI INLINE")] + [inst.setting("TUBROLIS", "USE IMPERIAL NOTATION")] == \
            ["80", "Degrees", "1", "0", "1", "0"]
        sources = inst.data_sources()
        assert (sources["CurrentDatasDirectory"], sources["CurrentProjectsDirectory"]) == \
            (inst.data_directory, inst.projects_directory)
        assert os.path.isdir(inst.projects_directory)
        with open(inst.settings_path, encoding="utf-8") as f:
            json.load(f)  # plain UTF-8, readable as the module reads it

    def test_options(self, tmp_path):
        bare = vs.make_installation(tmp_path / "a", extensions=False, lib=False, vazer=False, bom=True,
                                    settings={("VAZER", "WINDOWS SOLVER PATH"): "", ("X", "NEW"): 3})
        assert not os.path.exists(bare.extensions) and bare.lib_path is None
        assert sorted(os.listdir(bare.directory)) == sorted(ASSEMBLIES + ["Solvers"])
        assert not os.path.exists(bare.vazer_path) and os.path.exists(bare.diroziziva_path)
        assert bare.setting("VAZER", "WINDOWS SOLVER PATH") == "" and bare.setting("X", "NEW") == 3
        for path in (bare.settings_path, bare.data_sources_path):
            with open(path, "rb") as f:
                assert f.read(3) == b"\xef\xbb\xbf"
        moved = vs.make_installation(tmp_path / "b", assemblies_in_install_dir=True,
                                     assemblies=["Veltrane.SDK.dll"])
        assert os.listdir(moved.extensions) == ["Veltrane.DiroZiziva.lib"]
        assert os.path.isfile(os.path.join(moved.directory, "Veltrane.SDK.dll"))
        assert not os.path.exists(os.path.join(moved.directory, "Veltrane.Helper.dll"))

    def test_bind_sets_the_module_paths(self, inst):
        module = types.ModuleType("fake_core")
        inst.bind(module)
        assert (module._settingsPath_, module._dataSourcesPath_) == (inst.settings_path, inst.data_sources_path)

    def test_settings_controller_follows_current_installation(self, host, inst, tmp_path):
        app = host.VeltraneApplication()
        assert app.GetSettingsController().GetSettingValue("DIROZIZIVA", "MAX FIELD LENGTH") == "80"
        other = vs.make_installation(tmp_path / "other", settings={("DIROZIZIVA", "MAX FIELD LENGTH"): "72"})
        controller = app.GetSettingsController()
        assert controller.GetSettingValue("DIROZIZIVA", "MAX FIELD LENGTH") == "72"
        vs.use_installation(inst)
        assert controller.GetSettingValue("DIROZIZIVA", "MAX FIELD LENGTH") == "80"
        vs.switches.set_setting("DIROZIZIVA", "MAX FIELD LENGTH", "12.5")
        assert controller.GetSettingValue("DIROZIZIVA", "MAX FIELD LENGTH") == "12.5"
        assert controller.GetSettingValue("DIROZIZIVA", "NO SUCH SETTING") is None
        vs.switches.no_settings_controller = True
        assert app.GetSettingsController() is None
        assert other.setting("DIROZIZIVA", "MAX FIELD LENGTH") == "72"


# ------------------------------------------------------- journal and switches


class TestJournalAndSwitches:
    def test_journal_is_complete_under_eight_threads(self, host):
        start = threading.Barrier(8)

        def work():
            start.wait()
            for _ in range(50):
                host.Layer("x")

        threads = [threading.Thread(target=work) for _ in range(8)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        calls = vs.journal.calls("Layer.ctor")
        assert len(calls) == 400 and len({c.seq for c in calls}) == 400
        assert sorted(vs.journal.threads("Layer.ctor").count(t.ident) for t in threads) == [50] * 8

    def test_journal_records_calls_under_the_runtime_class(self, host, inst, tmp_path):
        model = host.Model.from_dict(vs.sample_model())
        solver = host.VazerSolver(inst.vazer_path, model, str(tmp_path / "m.tessel"), "", False)
        solver.IgnoreWarnings = True
        solver.Dispose()
        assert vs.journal.ops("VazerSolver") == [
            "VazerSolver.ctor", "VazerSolver.IgnoreWarnings", "VazerSolver.Dispose"]
        assert vs.journal.last("VazerSolver.ctor").args[1] is model
        with pytest.raises(TypeError):
            host.VazerSolver(inst.vazer_path, model, "m.tessel", "", 0)
        assert vs.journal.count("VazerSolver.ctor") == 1  # refused by the bridge, never reached the host

    def test_switches(self, host):
        with pytest.raises(AttributeError):
            vs.switches.vazer_run_resul = 1
        vs.switches.fail("Model.SaveToFile", vs.IOException("disk full"), times=2)
        model = host.Model()
        for _ in range(2):
            with pytest.raises(vs.IOException) as error:
                model.SaveToFile("unused.tessel")
            assert error.value.Message == "disk full"
        assert vs.switches.failing() == []
        vs.switches.fail("Model.LoadFromFile")
        vs.switches.vazer_run_result = 3
        vs.reset()
        assert vs.switches.failing() == [] and vs.switches.vazer_run_result is None and len(vs.journal) == 0
