"""Model documents: loading, saving and finding tessels, creating them, the
solver input file written from the live settings, and custom commands."""

import os
import types

import pytest
from _catalog import GUARD_MESSAGE

import veltrane_sim

LOAD_ORDER = ["Veltrane.SDK.dll", "Veltrane.Helper.dll", "Veltrane.Tubrolis.Core.dll"]
SETTINGS_ORDER = [
    ("DIROZIZIVA", "MAX FIELD LENGTH"),
    ("DIROZIZIVA", "ROTATION UNITS"),
    ("DIROZIZIVA", "GENERATE RESTRAINTS INLINE"),
    ("DIROZIZIVA", "GENERATE DLCS INLINE"),
    ("DIROZIZIVA", "GENERATE INDI INLINE"),
    ("TUBROLIS", "USE IMPERIAL NOTATION"),
]
STALE = "* an input file from an earlier save\nEND\n"


@pytest.fixture
def fresh_dlls(core):
    """A process that has loaded nothing yet, as far as the module knows."""
    core._dlls_ = []
    return core._dlls_


@pytest.fixture
def study(ready, tmp_path):
    """A sample piping tessel file in its own directory."""
    directory = tmp_path / "study"
    directory.mkdir()
    return veltrane_sim.write_tessel(str(directory / "Study1.tessel"))


def loaded_references(journal):
    return [os.path.basename(args[0]) for args in journal.args("clr.AddReference")]


def written_fre(journal):
    """The twelve arguments of the one WriteFreFile call made."""
    calls = journal.args("Model.WriteFreFile")
    assert len(calls) == 1
    return calls[0]


class TestGuard:
    @pytest.mark.parametrize(
        "name, args",
        [
            ("loadTessel", ("a.tessel",)),
            ("saveTessel", (None, "a.tessel")),
            ("getTessel", (".",)),
            ("createPipingTessel", ()),
            ("createStructureTessel", ()),
            ("writeFreFile", (None, "a.tessel")),
            ("createCommand", ("AddLayer", None)),
            ("executeCommand", (None,)),
        ],
    )
    def test_refused_before_setup_without_touching_the_host(self, core, journal, tmp_path, name, args):
        core._validSetup_ = False
        existing = veltrane_sim.write_tessel(str(tmp_path / "a.tessel"))
        args = tuple(existing if a == "a.tessel" else a for a in args)
        with pytest.raises(EnvironmentError) as error:
            getattr(core, name)(*args)
        assert str(error.value) == GUARD_MESSAGE
        assert journal.entries() == []


class TestLoadTessel:
    def test_missing_file_returns_none_before_any_loading(self, core, ready, fresh_dlls, journal, tmp_path, capsys):
        # Even with the assemblies gone nothing is tried: the file is checked first.
        for path in ready.assemblies.values():
            os.remove(path)
        assert core.loadTessel(str(tmp_path / "missing.tessel")) is None
        assert journal.entries() == []
        assert fresh_dlls == []
        assert capsys.readouterr().out == ""

    def test_loads_assemblies_in_order_then_the_file(self, core, study, fresh_dlls, journal):
        tessel = core.loadTessel(study)
        assert tessel.same_content(type(tessel).from_dict(veltrane_sim.read_tessel(study)))
        assert loaded_references(journal) == LOAD_ORDER
        assert fresh_dlls == LOAD_ORDER
        host_ops = [op for op in journal.ops() if not op.startswith("clr.")]
        assert host_ops == ["Model.ctor", "Model.LoadFromFile"]
        assert journal.args("Model.ctor") == [()]
        assert journal.args("Model.LoadFromFile") == [(study,)]

    @pytest.mark.parametrize(
        "content",
        ["not a tessel at all", '{"format": "tessel", "version": 99, "module": "Tubrolis"}', None],
        ids=["text", "wrong-version", "directory"],
    )
    def test_unreadable_file_gives_none_silently(self, core, ready, tmp_path, capsys, content):
        core.load_dll("Veltrane.Helper.dll")
        capsys.readouterr()
        path = tmp_path / "broken.tessel"
        if content is None:
            path.mkdir()  # exists, but the host cannot read it
        else:
            path.write_text(content)
        assert core.loadTessel(str(path)) is None
        assert capsys.readouterr() == ("", "")

    def test_only_the_exception_family_is_swallowed(self, core, study, switches):
        class Interrupted(BaseException):
            pass

        switches.fail("Model.LoadFromFile", Interrupted)
        with pytest.raises(Interrupted):
            core.loadTessel(study)

    def test_failures_before_loading_propagate(self, core, study, switches, fresh_dlls, ready):
        switches.fail("Model.ctor")
        with pytest.raises(veltrane_sim.InvalidOperationException):
            core.loadTessel(study)
        switches.clear_failure("Model.ctor")
        fresh_dlls.clear()
        os.remove(ready.assemblies["Veltrane.Helper.dll"])
        with pytest.raises(FileNotFoundError, match="DLL 'Veltrane.Helper.dll' not found."):
            core.loadTessel(study)


class TestSaveTessel:
    def test_saved_model_reloads_equal_and_gets_an_input_file(self, core, study, journal, tmp_path):
        tessel = core.loadTessel(study)
        target = tmp_path / "copy" / "Copy.tessel"
        target.parent.mkdir()
        journal.clear()
        assert core.saveTessel(tessel, str(target)) is None
        assert core.loadTessel(str(target)).same_content(tessel)
        # No Copy.fre existed, so the input file written is conception.fre.
        assert sorted(os.listdir(target.parent)) == ["Copy.tessel", "conception.fre"]
        assert veltrane_sim.read_fre(str(target.parent / "conception.fre"))["head"]["MODULE"] == "Tubrolis"
        ops = journal.ops()
        assert ops.index("Model.SaveToFile") < ops.index("Model.WriteFreFile")

    def test_none_writes_nothing(self, core, ready, journal, tmp_path):
        assert core.saveTessel(None, str(tmp_path / "x.tessel")) is None
        assert journal.entries() == []
        assert sorted(p.name for p in tmp_path.iterdir()) == ["installation"]

    def test_none_is_tested_by_inequality(self, core, ready, tmp_path):
        class EqualToNone:
            def __eq__(self, other):
                return other is None

            def __ne__(self, other):
                return other is not None

        # Has no SaveToFile: reaching it would raise AttributeError.
        assert core.saveTessel(EqualToNone(), str(tmp_path / "x.tessel")) is None

    def test_writer_is_looked_up_at_call_time(self, core, study, monkeypatch):
        seen = []
        monkeypatch.setattr(core, "writeFreFile", lambda *args: seen.append(args) or "ignored")
        tessel = core.loadTessel(study)
        assert core.saveTessel(tessel, study) is None
        assert seen == [(tessel, study)]

    def test_failed_save_writes_no_input_file(self, core, study, switches, journal):
        tessel = core.loadTessel(study)
        switches.fail("Model.SaveToFile")
        with pytest.raises(veltrane_sim.InvalidOperationException):
            core.saveTessel(tessel, study)
        assert journal.count("Model.WriteFreFile") == 0
        assert not os.path.exists(os.path.join(os.path.dirname(study), "conception.fre"))

    def test_missing_library_raises_after_the_save(self, core, study, ready, tmp_path):
        tessel = core.loadTessel(study)
        os.remove(ready.lib_path)
        target = str(tmp_path / "New.tessel")
        with pytest.raises(EnvironmentError, match="^Invalid setup! Veltrane.DiroZiziva.lib not found!$"):
            core.saveTessel(tessel, target)
        assert os.path.isfile(target)
        assert not os.path.exists(tmp_path / "conception.fre")


class TestGetTessel:
    def test_upper_case_extension_matches_and_directories_are_skipped(self, core, ready, tmp_path):
        (tmp_path / "x.tessel").mkdir()
        assert core.getTessel(str(tmp_path)) == ""
        (tmp_path / "MODEL.TESSEL").write_text("{}")
        assert core.getTessel(str(tmp_path)) == os.path.join(str(tmp_path), "MODEL.TESSEL")

    def test_missing_directory_is_an_error_not_empty_text(self, core, ready, tmp_path):
        with pytest.raises(FileNotFoundError):
            core.getTessel(str(tmp_path / "nowhere"))

    def test_finder_is_looked_up_at_call_time(self, core, ready, monkeypatch):
        monkeypatch.setattr(core, "find_first_file", lambda directory, ext: (directory, ext))
        assert core.getTessel("somewhere") == ("somewhere", ".tessel")


class TestCreateTessel:
    @pytest.mark.parametrize(
        "name, member", [("createPipingTessel", "Tubrolis"), ("createStructureTessel", "Trabexon")]
    )
    def test_new_tessel_has_layer_zero_and_the_host_module(self, core, ready, fresh_dlls, journal, name, member):
        tessel = getattr(core, name)()
        host_member = getattr(type(tessel.Module), member)
        assert tessel.Module == host_member
        assert [layer.Name for layer in tessel.Layers] == ["0"]
        assert loaded_references(journal) == LOAD_ORDER
        host_ops = [op for op in journal.ops() if not op.startswith("clr.")]
        assert host_ops == ["Model.ctor", "Layer.ctor", "LayerCollection.Add"]
        (module_arg,) = journal.args("Model.ctor")[0]
        assert module_arg is host_member  # the host's member, never the module's own enum
        assert journal.args("Layer.ctor") == [("0",)]

    def test_each_call_makes_a_new_tessel(self, core, ready):
        first, second = core.createPipingTessel(), core.createPipingTessel()
        assert first is not second
        first.Layers.Add(type(first.Layers[0])("Extra"))
        assert [layer.Name for layer in second.Layers] == ["0"]

    def test_worker_is_looked_up_by_name_with_the_host_member(self, core, ready, monkeypatch):
        seen = []
        monkeypatch.setattr(core, "createTessel", lambda module: seen.append(module) or "made")
        assert core.createStructureTessel() == "made"
        assert type(seen[0]).__module__ == "Veltrane.SDK"
        assert str(seen[0]) == "Trabexon"

    def test_failed_layer_add_propagates(self, core, ready, switches):
        switches.fail("LayerCollection.Add")
        with pytest.raises(veltrane_sim.InvalidOperationException):
            core.createPipingTessel()


class TestFreFileNaming:
    @pytest.mark.parametrize(
        "tessel_name, existing, written, absent",
        [
            ("Study1.tessel", ["Study1.fre"], "Study1.fre", "conception.fre"),
            ("Study1.tessel", [], "conception.fre", "Study1.fre"),
            ("Study1.tessel", ["conception.fre"], "conception.fre", "Study1.fre"),
            ("Study1.tessel", ["Study1.fre", "conception.fre"], "Study1.fre", None),
            ("plant.v2.final.tessel", ["plant.v2.final.fre"], "plant.v2.final.fre", "conception.fre"),
            ("plant.v2.final.tessel", ["plant.fre", "plant.v2.fre"], "conception.fre", None),
        ],
    )
    def test_named_after_the_tessel_only_when_that_file_exists(
        self, core, ready, journal, tmp_path, tessel_name, existing, written, absent
    ):
        for name in existing:
            (tmp_path / name).write_text(STALE)
        tessel = core.createPipingTessel()
        journal.clear()
        assert core.writeFreFile(tessel, str(tmp_path / tessel_name)) is None
        assert written_fre(journal)[0] == os.path.join(str(tmp_path), written)
        assert (tmp_path / written).read_text() != STALE
        veltrane_sim.read_fre(str(tmp_path / written))
        for name in existing:
            if name != written:
                assert (tmp_path / name).read_text() == STALE  # the other files are left alone
        if absent is not None:
            assert not (tmp_path / absent).exists()

    @pytest.mark.parametrize("existing, written", [([], "conception.fre"), (["Study1.fre"], "Study1.fre")])
    def test_bare_file_name_is_relative_to_the_current_directory(
        self, core, ready, journal, tmp_path, monkeypatch, existing, written
    ):
        work = tmp_path / "work"
        work.mkdir()
        monkeypatch.chdir(work)
        for name in existing:
            (work / name).write_text(STALE)
        tessel = core.createPipingTessel()
        journal.clear()
        core.writeFreFile(tessel, "Study1.tessel")
        assert written_fre(journal)[0] == written
        veltrane_sim.read_fre(str(work / written))


class TestFreFileSettings:
    @pytest.fixture
    def write(self, core, ready, journal, switches, tmp_path):
        """Writes the input file of a new piping tessel with some settings
        forced; returns the twelve writer arguments."""

        def run(**forced):
            keys = ["max", "rotation", "restraints", "dlcs", "indi", "imperial"]
            names = dict(zip(keys, SETTINGS_ORDER, strict=True))
            for key, value in forced.items():
                switches.set_setting(*names[key], value)
            tessel = core.createPipingTessel()
            journal.clear()
            assert core.writeFreFile(tessel, str(tmp_path / "S.tessel")) is None
            return written_fre(journal)

        return run

    def test_defaults_and_argument_layout(self, write, tmp_path):
        # Installation defaults: "80", "Degrees", restraints "1", DLCS "0", INDI "1", imperial "0".
        assert write() == (
            str(tmp_path / "conception.fre"), None, 80, 1, False, False, True, False, True, False, None, None)

    def test_imperial_comes_before_the_inline_flags(self, write):
        args = write(restraints="0", dlcs="1", indi="0", imperial="1")
        assert args[4:10] == (False, True, False, True, False, False)

    @pytest.mark.parametrize(
        "value, code",
        [("Degrees", 1), ("Milliradians", 2), ("degrees", 0), ("DEGREES", 0), ("Radians", 0), ("", 0), (None, 0),
         (1, 0)],
    )
    def test_rotation_codes(self, write, value, code):
        assert write(rotation=value)[3] == code

    @pytest.mark.parametrize(
        "value, flag", [(1, True), ("1", True), (" 1 ", True), (1.9, True), (True, True), (2, False), ("0", False),
                        (-1, False), ("01", True)],
    )
    @pytest.mark.parametrize("which, position", [("restraints", 6), ("dlcs", 7), ("indi", 8), ("imperial", 5)])
    def test_flags_are_true_only_for_the_integer_one(self, write, which, position, value, flag):
        result = write(**{which: value})[position]
        assert result is flag

    @pytest.mark.parametrize("value, length", [("80", 80), (120, 120), ("  132 ", 132), (72.9, 72)])
    def test_max_field_length_is_an_integer(self, write, value, length):
        result = write(max=value)[2]
        assert type(result) is int and result == length

    def test_settings_are_read_in_order_before_writing(self, write, journal):
        write()
        assert journal.args("SettingsController.GetSettingValue") == SETTINGS_ORDER
        assert journal.ops() == [
            "PSLibrary.Initialize", "VeltraneApplication.GetSettingsController",
            *["SettingsController.GetSettingValue"] * 6, "Model.WriteFreFile",
        ]

    def test_live_settings_reach_the_file(self, core, ready, tmp_path):
        ready.write_settings({("DIROZIZIVA", "ROTATION UNITS"): "Milliradians",
                              ("TUBROLIS", "USE IMPERIAL NOTATION"): "1",
                              ("DIROZIZIVA", "GENERATE DLCS INLINE"): "1"})
        core.writeFreFile(core.createPipingTessel(), str(tmp_path / "S.tessel"))
        fre = veltrane_sim.read_fre(str(tmp_path / "conception.fre"))
        assert fre["head"]["ROTATION"] == "MILLIRADIANS"
        assert fre["head"]["UNITS"] == "IMPERIAL"
        assert fre["opts"] == {"RESTRAINTS": "INLINE", "DLCS": "INLINE", "INDI": "INLINE"}

    def test_library_is_initialised_on_every_call(self, core, ready, journal, tmp_path):
        tessel = core.createPipingTessel()
        journal.clear()
        core.writeFreFile(tessel, str(tmp_path / "S.tessel"))
        core.writeFreFile(tessel, str(tmp_path / "S.tessel"))
        lib = os.path.join(ready.extensions, "Veltrane.DiroZiziva.lib")
        assert journal.args("PSLibrary.Initialize") == [(lib,), (lib,)]


class TestFreFileKeepsTheOldFile:
    """The old input file goes only once the new one can be written."""

    @pytest.fixture
    def old(self, ready, tmp_path):
        (tmp_path / "Study1.fre").write_text(STALE)
        return tmp_path / "Study1.fre"

    def write(self, core, tmp_path):
        return core.writeFreFile(core.createPipingTessel(), str(tmp_path / "Study1.tessel"))

    def test_no_settings_controller(self, core, old, switches, journal, tmp_path):
        switches.no_settings_controller = True
        assert self.write(core, tmp_path) is None
        assert old.read_text() == STALE
        assert journal.count("SettingsController.GetSettingValue") == 0
        assert journal.count("Model.WriteFreFile") == 0

    @pytest.mark.parametrize(
        "setting, value, error",
        [
            (SETTINGS_ORDER[0], "80.5", ValueError),
            (SETTINGS_ORDER[0], None, TypeError),
            (SETTINGS_ORDER[2], "yes", ValueError),
            (SETTINGS_ORDER[5], "", ValueError),
        ],
    )
    def test_setting_that_does_not_convert(self, core, old, switches, journal, tmp_path, setting, value, error):
        switches.set_setting(*setting, value)
        with pytest.raises(error):
            self.write(core, tmp_path)
        assert old.read_text() == STALE
        assert journal.count("Model.WriteFreFile") == 0
        # Each setting is converted as soon as it is read: nothing after the bad one is asked for.
        read = journal.args("SettingsController.GetSettingValue")
        assert read == SETTINGS_ORDER[: SETTINGS_ORDER.index(setting) + 1]

    def test_missing_library(self, core, old, ready, journal, tmp_path):
        os.remove(ready.lib_path)
        with pytest.raises(EnvironmentError) as error:
            self.write(core, tmp_path)
        assert type(error.value) is OSError
        assert str(error.value) == "Invalid setup! Veltrane.DiroZiziva.lib not found!"
        assert old.read_text() == STALE
        assert journal.count("PSLibrary.Initialize") == 0

    @pytest.mark.parametrize("op", ["PSLibrary.Initialize", "VeltraneApplication.GetSettingsController",
                                    "SettingsController.GetSettingValue"])
    def test_host_failures_before_writing(self, core, old, switches, tmp_path, op):
        switches.fail(op)
        with pytest.raises(veltrane_sim.InvalidOperationException):
            self.write(core, tmp_path)
        assert old.read_text() == STALE


    def test_put_back_when_the_writer_fails_and_gone_once_it_wrote(self, core, old, switches, tmp_path):
        switches.fail("Model.WriteFreFile")
        with pytest.raises(veltrane_sim.InvalidOperationException):
            self.write(core, tmp_path)
        assert old.read_text() == STALE
        switches.clear_failure("Model.WriteFreFile")
        assert self.write(core, tmp_path) is None
        assert old.read_text() != STALE and [name for name in os.listdir(tmp_path) if "fre" in name] == [old.name]

    def test_move_aside_failure_is_ignored(self, core, old, journal, monkeypatch, tmp_path):
        def refuse(source, destination):
            raise PermissionError(13, "Permission denied", source)

        monkeypatch.setattr(core, "os", types.SimpleNamespace(path=os.path, replace=refuse))
        assert self.write(core, tmp_path) is None
        assert written_fre(journal)[0] == str(old)
        assert old.read_text() != STALE  # the writer overwrote it

    def test_move_aside_interrupt_propagates(self, core, old, journal, monkeypatch, tmp_path):
        def interrupt(source, destination):
            raise KeyboardInterrupt

        monkeypatch.setattr(core, "os", types.SimpleNamespace(path=os.path, replace=interrupt))
        with pytest.raises(KeyboardInterrupt):
            self.write(core, tmp_path)
        assert journal.count("Model.WriteFreFile") == 0


class TestCustomCommands:
    def test_command_has_both_flags_off_and_binds_the_controller(self, core, ready, journal, capsys):
        tessel = core.createPipingTessel()
        journal.clear()
        command = core.createCommand("AddLayer", tessel)
        assert command.NeedToReloadModelAfterCommand is False
        assert command.NeedToSaveModelAfterCommand is False
        assert core._commandController_.model == tessel  # a fresh wrapper of the same host object
        assert journal.ops() == [
            "CommandController.model", "CustomCommand.ctor",
            "CustomCommand.NeedToReloadModelAfterCommand", "CustomCommand.NeedToSaveModelAfterCommand",
        ]
        assert journal.args("CustomCommand.ctor") == [(tessel, "AddLayer")]
        assert capsys.readouterr().out == ""

    def test_changes_the_model_in_memory_until_saved(self, core, study, capsys):
        on_disk = veltrane_sim.read_tessel(study)
        tessel = core.loadTessel(study)
        assert core.executeCommand(core.createCommand("MergeLayers", tessel)) is None
        assert [layer.Name for layer in tessel.Layers] == ["0"]
        assert veltrane_sim.read_tessel(study) == on_disk
        core.saveTessel(tessel, study)
        assert [layer["name"] for layer in veltrane_sim.read_tessel(study)["layers"]] == ["0"]
        assert capsys.readouterr().out == ""

    def test_commands_run_on_the_last_tessel_given(self, core, ready):
        first, second = core.createPipingTessel(), core.createPipingTessel()
        command = core.createCommand("AddLayer", first)
        core.createCommand("RenumberNodes", second)
        core.executeCommand(command)
        assert [layer.Name for layer in first.Layers] == ["0"]
        assert [layer.Name for layer in second.Layers] == ["0", "Layer 1"]

    def test_unknown_command_propagates_after_binding(self, core, ready):
        tessel = core.createPipingTessel()
        with pytest.raises(veltrane_sim.ArgumentException) as error:
            core.createCommand("NoSuchCommand", tessel)
        assert "NoSuchCommand" in error.value.Message
        assert core._commandController_.model == tessel

    def test_controller_is_looked_up_at_call_time(self, core, ready):
        added = []
        core._commandController_ = types.SimpleNamespace(AddCommand=lambda c: added.append(c) or "ignored")
        assert core.executeCommand("a command") is None
        assert added == ["a command"]
