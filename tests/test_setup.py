"""Setup of the installation, assembly loading, class introspection."""

import ctypes.util
import json
import os
import shutil
import threading

import pytest

import veltrane_sim

CORE_ASSEMBLIES = ["Veltrane.SDK.dll", "Veltrane.Tubrolis.Core.dll"]


@pytest.fixture
def fresh_dlls(core):
    """A process that has loaded nothing yet, as far as the module knows."""
    core._dlls_ = []
    return core._dlls_


def setup(core, installation, module=None):
    return core.setup_veltrane_computer(installation.directory, module or core.VeltraneModule.Tubrolis)


class TestSetupChecks:
    def test_missing_installation_directory(self, core, installation, tmp_path):
        missing = str(tmp_path / "nowhere")
        with pytest.raises(FileNotFoundError) as error:
            core.setup_veltrane_computer(missing, core.VeltraneModule.Tubrolis)
        assert str(error.value) == f"The directory '{missing}' does not exist."
        assert core._exePath_ is None
        assert core._CultureInfo_ is not None  # the culture comes first

    @pytest.mark.parametrize("which", ["_settingsPath_", "_dataSourcesPath_"])
    def test_missing_settings_files_are_named_as_directories(self, core, installation, which):
        os.remove(getattr(core, which))
        core._validSetup_ = "previous"
        with pytest.raises(FileNotFoundError) as error:
            setup(core, installation)
        assert str(error.value) == f"The directory '{getattr(core, which)}' does not exist."
        assert core._validSetup_ is False  # a setup that raises closes the guard

    def test_installation_directory_is_checked_first(self, core, installation, tmp_path):
        os.remove(core._settingsPath_)
        with pytest.raises(FileNotFoundError, match="nowhere"):
            core.setup_veltrane_computer(str(tmp_path / "nowhere"), core.VeltraneModule.All)

    def test_invalid_json_propagates_and_closes_the_guard(self, core, installation):
        with open(core._dataSourcesPath_, "w") as f:
            f.write("{not json")
        core._validSetup_ = True
        with pytest.raises(json.JSONDecodeError):
            setup(core, installation)
        assert core._validSetup_ is False
        assert core._exePath_ == installation.directory  # earlier steps keep their values

    def test_missing_settings_key_raises_key_error(self, core, installation):
        with open(core._settingsPath_, "w") as f:
            json.dump({"NoFamilies": []}, f)
        with pytest.raises(KeyError, match="Families"):
            setup(core, installation)


class TestSetupResults:
    def test_complete_installation(self, core, installation, fresh_dlls, capsys):
        assert setup(core, installation) is True
        assert capsys.readouterr().out == "Veltrane.SDK.dll loaded\nVeltrane.Tubrolis.Core.dll loaded\n"
        assert core._dlls_ == CORE_ASSEMBLIES
        assert core._validSetup_ is True
        assert core._exePath_ == installation.directory
        assert core._dllPath_ == os.path.join(installation.directory, "Extensions")
        assert core._Vazer_ == installation.vazer_path
        assert core._DiroZiziva_ == installation.diroziziva_path
        assert (core._dataPath_, core._projectPath_) == (
            installation.data_directory,
            installation.projects_directory,
        )
        assert type(core._Application_).__name__ == "VeltraneApplication"
        assert type(core._commandController_).__name__ == "CommandController"

    def test_host_calls_in_order(self, core, installation, fresh_dlls, journal):
        setup(core, installation)
        ops = journal.ops()
        assert ops[0] == "clr.AddReference" and journal.args("clr.AddReference")[0] == ("mscorlib",)
        expected = ["CultureInfo.ctor", "VeltraneApplication.ctor", "CommandController.ctor",
                    "CommandController.SetApplication"]
        assert [op for op in ops if op in expected] == expected
        assert journal.args("CommandController.SetApplication") == [(core._Application_,)]

    def test_calling_thread_gets_the_en_us_culture(self, core, installation):
        setup(core, installation)
        from System.Threading import Thread

        assert Thread.CurrentThread.CurrentCulture.Name == "en-US"
        assert Thread.CurrentThread.CurrentUICulture.Name == "en-US"
        other = {}
        worker = threading.Thread(target=lambda: other.update(name=Thread.CurrentThread.CurrentCulture.Name))
        worker.start()
        worker.join()
        assert other["name"] != "en-US"

    def test_second_setup_loads_nothing_and_makes_new_host_objects(self, core, installation, capsys):
        assert setup(core, installation) is True
        app, controller = core._Application_, core._commandController_
        capsys.readouterr()
        assert setup(core, installation) is True
        assert capsys.readouterr().out == ""
        assert core._Application_ is not app and core._commandController_ is not controller

    def test_result_does_not_depend_on_the_module(self, core, installation):
        results = {member: setup(core, installation, member) for member in core.VeltraneModule}
        assert set(results.values()) == {True}

    def test_without_extensions_the_guard_shuts(self, core, tmp_path, capsys):
        good = veltrane_sim.make_installation(tmp_path / "good")
        good.bind(core)
        assert setup(core, good) is True
        bare = veltrane_sim.make_installation(tmp_path / "bare", extensions=False)
        bare.bind(core)
        capsys.readouterr()
        assert setup(core, bare) is False
        assert capsys.readouterr().out == ""
        assert core._validSetup_ is False
        assert core._exePath_ == bare.directory
        assert core._dllPath_ == os.path.join(bare.directory, "Extensions")
        with pytest.raises(OSError, match="Invalid setup!"):
            core.getTessel(str(tmp_path))

    def test_empty_solver_paths_become_none(self, core, tmp_path):
        inst = veltrane_sim.make_installation(
            tmp_path / "i", settings={("VAZER", "WINDOWS SOLVER PATH"): "", ("DIROZIZIVA", "SOLVER PATH"): ""}
        )
        inst.bind(core)
        assert setup(core, inst) is True
        assert (core._Vazer_, core._DiroZiziva_) == (None, None)

    def test_settings_with_a_byte_order_mark(self, core, tmp_path):
        inst = veltrane_sim.make_installation(tmp_path / "i", bom=True)
        inst.bind(core)
        with open(core._settingsPath_, "rb") as f:
            assert f.read(3) == b"\xef\xbb\xbf"
        assert setup(core, inst) is True
        assert core._Vazer_ == inst.vazer_path

    def test_a_failure_after_the_guard_opened_shuts_it_again(self, core, installation, fresh_dlls):
        os.remove(os.path.join(installation.extensions, "Veltrane.Tubrolis.Core.dll"))
        with pytest.raises(FileNotFoundError, match=r"^DLL 'Veltrane.Tubrolis.Core.dll' not found\.$"):
            setup(core, installation)
        assert core._validSetup_ is False
        assert core._dlls_ == ["Veltrane.SDK.dll"]


class TestLoading:
    def copy_assembly(self, installation, name, destination):
        shutil.copy(os.path.join(installation.extensions, "Veltrane.Helper.dll"), os.path.join(destination, name))

    def test_extensions_are_searched_before_the_installation(self, core, ready, fresh_dlls, journal, capsys):
        self.copy_assembly(ready, "Veltrane.Helper.dll", ready.directory)
        assert core.load_dll("Veltrane.Helper.dll") is None
        assert journal.args("clr.AddReference") == [(os.path.join(ready.extensions, "Veltrane.Helper.dll"),)]
        assert capsys.readouterr().out == "Veltrane.Helper.dll loaded\n"

    def test_installation_directory_is_the_fallback(self, core, ready, fresh_dlls, journal):
        self.copy_assembly(ready, "Extra.dll", ready.directory)
        core.load_dll("Extra.dll")
        assert journal.args("clr.AddReference") == [(os.path.join(ready.directory, "Extra.dll"),)]
        assert core._dlls_ == ["Extra.dll"]

    def test_each_name_loads_once(self, core, ready, fresh_dlls, journal, capsys):
        core.load_dll("Veltrane.Helper.dll")
        capsys.readouterr()
        journal.clear()
        assert core.load_dll("Veltrane.Helper.dll") is None
        assert journal.ops() == [] and capsys.readouterr().out == ""

    def test_names_are_compared_exactly(self, core, ready, fresh_dlls, capsys):
        # In the other folder: where the file system folds case, one folder holds one of the two.
        self.copy_assembly(ready, "veltrane.helper.dll", ready.directory)
        core.load_dll("Veltrane.Helper.dll")
        core.load_dll("veltrane.helper.dll")
        assert core._dlls_ == ["Veltrane.Helper.dll", "veltrane.helper.dll"]
        assert capsys.readouterr().out.count("loaded") == 2

    def test_missing_file(self, core, ready, fresh_dlls, capsys):
        with pytest.raises(FileNotFoundError) as error:
            core.load_dll("Nothing.dll")
        assert str(error.value) == "DLL 'Nothing.dll' not found."
        assert core._dlls_ == [] and capsys.readouterr().out == ""

    def test_a_refused_file_can_be_tried_again(self, core, ready, fresh_dlls, capsys):
        bad = os.path.join(ready.extensions, "Broken.dll")
        with open(bad, "w") as f:
            f.write("not an assembly")
        with pytest.raises(Exception) as error:
            core.load_dll("Broken.dll")
        assert type(error.value).__name__ == "BadImageFormatException"
        assert core._dlls_ == [] and capsys.readouterr().out == ""
        self.copy_assembly(ready, "Broken.dll", ready.extensions)
        core.load_dll("Broken.dll")
        assert core._dlls_ == ["Broken.dll"]

    def test_absolute_names_load_from_their_path(self, core, ready, fresh_dlls, journal, tmp_path):
        self.copy_assembly(ready, "Elsewhere.dll", str(tmp_path))
        absolute = str(tmp_path / "Elsewhere.dll")
        core.load_dll(absolute)
        assert journal.args("clr.AddReference") == [(absolute,)]
        assert core._dlls_ == [absolute]

    def test_relative_installation_loads_by_absolute_path(self, core, installation, fresh_dlls, journal,
                                                          monkeypatch):
        # The bridge refuses a relative assembly path, even to an existing file.
        monkeypatch.chdir(installation.root)
        relative = os.path.relpath(installation.directory)
        assert core.setup_veltrane_computer(relative, core.VeltraneModule.Tubrolis) is True
        assert journal.args("clr.AddReference")[1:] == [
            (os.path.join(installation.extensions, name),) for name in core._dlls_]
        assert core._dlls_ == ["Veltrane.SDK.dll", "Veltrane.Tubrolis.Core.dll"]
        assert core._dllPath_ == os.path.join(relative, "Extensions")

    def test_native_libraries_share_the_list(self, core, ready, fresh_dlls, journal, capsys):
        library = ctypes.util.find_library("m") or "libm.so.6"
        found = [p for p in ("/lib/x86_64-linux-gnu", "/usr/lib/x86_64-linux-gnu", "/lib64", "/usr/lib")
                 if os.path.exists(os.path.join(p, library))]
        if not found:
            pytest.skip("no native library to load")
        shutil.copy(os.path.join(found[0], library), os.path.join(ready.extensions, "native.so"))
        core.load_dll_c("native.so")
        assert core._dlls_ == ["native.so"] and capsys.readouterr().out == "native.so loaded\n"
        journal.clear()
        core.load_dll("native.so")  # already loaded by the other loader: nothing happens
        assert journal.ops() == []
        core.load_dll("Veltrane.Helper.dll")
        core.load_dll_c("Veltrane.Helper.dll")  # would fail if it tried to load an assembly natively
        assert core._dlls_ == ["native.so", "Veltrane.Helper.dll"]


class TestIntrospection:
    def test_known_class_gives_namespace_then_assembly(self, core, ready):
        assert core.findNameSpaceAndAssembly("Model") == ("Veltrane.Tubrolis.Core", "Veltrane.Tubrolis.Core.dll")

    def test_unknown_class_gives_a_pair_of_none(self, core, ready, journal):
        namespace, assembly = core.findNameSpaceAndAssembly("NoSuchClass")
        assert (namespace, assembly) == (None, None)
        call = journal.calls("VeltraneClassInspector.FindNamespaceAndAssemblyFromClassName")[-1]
        assert call.args == (core._dllPath_, "NoSuchClass")

    def test_inspect_class_returns_the_host_json(self, core, ready, journal):
        tessel = core.createPipingTessel()
        indented = core.inspectClass(tessel, True)
        assert isinstance(indented, str) and "\n" in indented
        described = json.loads(indented)
        assert json.loads(core.inspectClass(tessel, False)) == described
        assert journal.args("VeltraneClassInspector.ExportObjectToJson")[-1] == (tessel, False)
