"""Models as objects: a model's life from creation to solve, every refusal with its reason,
commands with their parameters, and writes that fail without losing the old files."""

import os
import pickle
import stat
from pathlib import Path

import pytest

import veltrane_computer
import veltrane_sim
from veltrane_computer.model import CommandError, ModelError
from veltrane_computer.project import ProjectError
from veltrane_computer.session import SolveError


@pytest.fixture
def line1(tmp_path):
    (tmp_path / "Line1").mkdir()
    return Path(veltrane_sim.write_tessel(str(tmp_path / "Line1" / "Line1.tessel"), "piping"))


def loads(path):
    return [(load["fx"], load["fy"], load["fz"]) for load in veltrane_sim.read_tessel(str(path))["loads"]]


def max_displacement(result):
    (result_file,) = result.result_files
    return veltrane_sim.read_results(str(result_file))["maxDisplacement"]


def files(folder):
    return {p.name: p.read_bytes() for p in folder.iterdir()}


# ------------------------------------------------------------------ a model's life


class TestLife:
    def test_new_run_save_reopen_write_solve(self, session, tmp_path, capsys):
        model = session.new_model("piping")
        assert (model.path, model.kind, repr(model)) == (None, "piping", "<Model piping not saved>")
        assert type(model) is veltrane_computer.Model  # the package exports it
        model.run("AddLayer")
        saved = model.save(tmp_path / "Lines" / "NewLine" / "NewLine.tessel")  # the folders are made
        assert saved == model.path == tmp_path / "Lines" / "NewLine" / "NewLine.tessel"
        assert sorted(os.listdir(saved.parent)) == ["NewLine.tessel", "conception.fre"]  # nothing left behind
        reopened = session.open_model(str(saved))
        assert [layer.Name for layer in reopened.host.Layers] == ["0", "Layer 1"]
        assert reopened.write_input_file() == saved.parent / "conception.fre"
        assert session.new_model("structure").kind == "structure"
        assert capsys.readouterr().out == ""  # the core's lines went to the log

    def test_parameters_reach_the_command_and_the_solve(self, session, line1):
        model = session.open_model(line1)
        before, light = loads(line1), max_displacement(model.solve())
        model.run("ScaleLoads", Factor=3.0)
        assert loads(line1) == before  # changed in memory only
        model.save()
        assert loads(line1) == [tuple(3 * f for f in load) for load in before]
        heavy = model.solve(sandbox=False, output_dir=line1.parent / "heavy")
        assert max_displacement(heavy) > light and heavy.result_files[0].parent == line1.parent / "heavy"

    def test_save_keeps_the_models_own_input_file(self, session, line1):
        own = line1.with_suffix(".fre")
        own.write_text("old input\n", encoding="utf-8")
        model = session.open_model(line1)
        model.save()
        assert own.read_text(encoding="utf-8") != "old input\n"
        assert not (line1.parent / "conception.fre").exists()
        assert veltrane_sim.read_fre(str(model.write_input_file()))["nodes"]

    def test_describe_is_the_hosts_description(self, session, line1):
        description = session.open_model(line1).describe()
        assert description["Name"] == "Model" and any(p["Name"] == "Layers" for p in description["Properties"])


# ------------------------------------------------------------------ refusals


class TestRefusals:
    @pytest.mark.parametrize(
        "make,reason,text",
        [
            (lambda d: d / "absent.tessel", "missing-model", "does not exist"),
            (lambda d: d / "notes.txt", "not-a-tessel", "is not a .tessel file"),
            (lambda d: d / "folder.tessel", "not-a-tessel", "is not a .tessel file"),
            (lambda d: d / "broken.tessel", "unreadable-model", "cannot be read by the application"),
            # Windows reports a name too long as a missing file
            (lambda d: d / ("x" * 300 + ".tessel"),
             *(("missing-model", "does not exist") if os.name == "nt" else ("unreadable-model", "cannot be read: "))),
        ],
    )
    def test_open(self, session, tmp_path, make, reason, text):
        (tmp_path / "notes.txt").write_text("x", encoding="utf-8")
        (tmp_path / "folder.tessel").mkdir()
        (tmp_path / "broken.tessel").write_text("{not json", encoding="utf-8")
        path = make(tmp_path)
        with pytest.raises(ModelError) as caught:
            session.open_model(path)
        assert (caught.value.reason, caught.value.path) == (reason, path)
        assert str(caught.value).startswith(f"model: '{path}' {text}")

    def test_a_model_never_saved(self, session):
        model = session.new_model("structure")
        for call in (model.save, model.write_input_file, model.solve):
            with pytest.raises(ModelError) as caught:
                call()
            assert (caught.value.reason, caught.value.path) == ("not-saved", None)
            assert str(caught.value) == "the model has not been saved: pass a path to save()"

    def test_bad_arguments(self, session, tmp_path):
        with pytest.raises(ValueError, match="kind: 'pipe' is not one of 'piping', 'structure'"):
            session.new_model("pipe")
        with pytest.raises(ModelError) as caught:
            session.new_model("piping").save(tmp_path / "Line1.txt")
        assert (caught.value.reason, caught.value.path) == ("not-a-tessel", tmp_path / "Line1.txt")
        assert str(caught.value) == f"path: '{tmp_path / 'Line1.txt'}' is not a .tessel file"
        for call in (session.open_model, session.new_model("piping").save):
            with pytest.raises(TypeError, match="^path: expected a str or os.PathLike path, not 42$"):
                call(42)

    def test_a_solve_failure_is_the_sessions(self, session, line1):
        veltrane_sim.switches.vazer_run_result = 3
        with pytest.raises(SolveError) as caught:
            session.open_model(line1).solve()
        assert caught.value.reason == "solver-failed"

    def test_another_setup_retires_the_models(self, session, session_on, line1, tmp_path):
        model = session.open_model(line1)
        other = veltrane_sim.make_installation(tmp_path / "other")
        with session_on(other):
            with pytest.raises(RuntimeError, match="no longer set up"):
                model.run("AddLayer")
            with pytest.raises(RuntimeError):
                model.save()
            with pytest.raises(RuntimeError):
                session.open_model(line1)
        with pytest.raises(RuntimeError, match="closed"):
            session.close() or session.new_model("piping")

    def test_errors_cross_processes(self):
        errors = [
            ModelError("m", path="a.tessel", reason="missing-model"),
            CommandError("c", command="ScaleLoads", parameter="Fator", reason="unknown-parameter"),
            ProjectError("p", directory="Plant", reason="missing-study", study="S"),
        ]
        for error in errors:
            copy = pickle.loads(pickle.dumps(error))
            assert (type(copy), copy.args, vars(copy)) == (type(error), error.args, vars(error))


class TestCommands:
    @pytest.mark.parametrize(
        "name,parameters,reason,parameter,text",
        [
            ("Renumber", {}, "unknown-command", None, "command 'Renumber': the application cannot create it: "),
            ("ScaleLoads", {"Fator": 2.0}, "unknown-parameter", "Fator", "command 'ScaleLoads' has no parameter"),
            ("ScaleLoads", {"CommandName": "x"}, "unknown-parameter", "CommandName", "has no parameter"),
            ("ScaleLoads", {"_name": "AddLayer"}, "unknown-parameter", "_name", "has no parameter '_name'"),
            ("ScaleLoads", {"Factor": "2"}, "bad-value", "Factor", "parameter 'Factor' does not take '2': "),
        ],
    )
    def test_refused_before_it_runs(self, session, line1, name, parameters, reason, parameter, text):
        model = session.open_model(line1)
        with pytest.raises(CommandError) as caught:
            model.run(name, **parameters)
        error = caught.value
        assert (error.command, error.parameter, error.reason) == (name, parameter, reason)
        assert text in str(error)
        assert "CommandController.AddCommand" not in veltrane_sim.journal.ops()

    def test_a_failing_command(self, session, line1):
        model = session.open_model(line1)
        veltrane_sim.switches.fail("CommandController.AddCommand")
        with pytest.raises(CommandError) as caught:
            model.run("MoveToOrigin")
        assert (caught.value.reason, caught.value.command) == ("command-failed", "MoveToOrigin")
        assert str(caught.value) == "command 'MoveToOrigin' failed: Simulated failure of CommandController.AddCommand."


# ------------------------------------------------------------------ failing writes


class TestFailingWrites:
    @pytest.mark.parametrize("failing", ["Model.SaveToFile", "Model.WriteFreFile"])
    def test_save_leaves_the_old_files(self, session, line1, failing):
        model = session.open_model(line1)
        model.save()
        old = files(line1.parent)
        model.run("ScaleLoads", Factor=2.0)
        veltrane_sim.switches.fail(failing)
        with pytest.raises(ModelError) as caught:
            model.save()
        assert (caught.value.reason, caught.value.path) == ("write-failed", line1)
        assert str(caught.value) == f"'{line1}' was not written: Simulated failure of {failing}."
        assert files(line1.parent) == old  # and no staging folder is left

    @pytest.mark.skipif(os.name == "nt", reason="POSIX modes and links; the read-only attribute is tested below")
    def test_save_goes_through_a_link_and_keeps_the_mode(self, session, line1, tmp_path):
        link = tmp_path / "Linked" / "Line1.tessel"
        link.parent.mkdir()
        link.symlink_to(line1)
        os.chmod(line1, 0o600)  # a private model stays private
        model = session.open_model(link)
        before = loads(line1)
        model.run("ScaleLoads", Factor=2.0)
        assert model.save() == link == model.path
        assert link.is_symlink() and loads(link) == [tuple(2 * f for f in load) for load in before]
        assert stat.S_IMODE(line1.stat().st_mode) == 0o600
        assert sorted(os.listdir(line1.parent)) == ["Line1.tessel", "conception.fre"]
        assert os.listdir(link.parent) == ["Line1.tessel"]

    @pytest.mark.parametrize("which", ["model", "input file"])
    def test_a_read_only_file_is_not_written(self, session, line1, which):
        model = session.open_model(line1)
        model.save()
        read_only = line1 if which == "model" else line1.parent / "conception.fre"
        os.chmod(read_only, stat.S_IREAD)  # the read-only attribute on Windows
        try:
            old = files(line1.parent)
            with pytest.raises(ModelError) as caught:
                model.save()
            assert (caught.value.reason, caught.value.path) == ("read-only-model", line1)
            assert str(caught.value) == f"'{line1}' was not written: '{read_only}' is read-only"
            assert files(line1.parent) == old
        finally:
            os.chmod(read_only, stat.S_IREAD | stat.S_IWRITE)

    @pytest.mark.parametrize("name", ["Line1.tessel/Line1.tessel", "x\0.tessel", "x" * 300 + ".tessel"])
    def test_a_path_that_cannot_be_written(self, session, line1, name):
        target = line1.parent / name  # under a file, a name no file can have
        old = files(line1.parent)
        with pytest.raises(ModelError) as caught:
            session.open_model(line1).save(target)
        assert (caught.value.reason, caught.value.path) == ("write-failed", target)
        assert files(line1.parent) == old

    def test_input_file_kept_when_the_writer_fails(self, session, line1):
        model = session.open_model(line1)
        written = model.write_input_file()
        old = written.read_bytes()
        veltrane_sim.switches.fail("Model.WriteFreFile")
        with pytest.raises(ModelError) as caught:
            model.write_input_file()
        assert (caught.value.reason, caught.value.path) == ("no-input-file", line1)
        failure = "Simulated failure of Model.WriteFreFile."
        assert str(caught.value) == f"the input file of '{line1}' was not written: {failure}"
        assert written.read_bytes() == old

    def test_no_settings_controller_is_no_input_file(self, session, line1):
        model = session.open_model(line1)
        old = model.write_input_file().read_bytes()
        veltrane_sim.switches.no_settings_controller = True
        with pytest.raises(ModelError, match="wrote no input file") as caught:
            model.write_input_file()
        assert (caught.value.reason, caught.value.path) == ("no-input-file", line1)
        assert (line1.parent / "conception.fre").read_bytes() == old
