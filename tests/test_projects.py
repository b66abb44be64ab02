"""Project folders, projects and the studies inside them."""

import json
import os
import shutil

import pytest

import veltrane_sim

SDK_DLL = "Veltrane.SDK.dll"
PROJECT_DLL = "Veltrane.Tubrolis.Project.dll"
HELPER_DLL = "Veltrane.Helper.dll"


# ------------------------------------------------------------------ helpers


def host_module():
    """The host's own module enumeration (loaded by setup)."""
    from Veltrane.SDK import VeltraneModule

    return VeltraneModule


def project_file(project_directory):
    name = os.path.splitext(os.path.basename(project_directory))[0]
    return os.path.join(project_directory, name + ".project")


def open_project(project_directory):
    from Veltrane.Tubrolis.Project import ProjectViewModel

    view_model = ProjectViewModel(None)
    view_model.LoadFromFile(project_file(project_directory))
    return view_model


def has_study(project_directory, name):
    return open_project(project_directory).GetStudy(name) is not None


def view_models_built(journal):
    return journal.count("ProjectViewModel.ctor")


def loaded_assemblies(journal):
    return [os.path.basename(args[0]) for args in journal.args("clr.AddReference")]


def check_twin_hands_over(core, worker_name, twin, member, args):
    """The twin calls the worker with its arguments and its kind, and returns the worker's answer unchanged."""
    received = []
    answer = object()

    def worker(*given):
        received.append(given)
        return answer

    setattr(core, worker_name, worker)
    assert getattr(core, twin)(*args) is answer
    assert received == [(*args, getattr(host_module(), member))]


@pytest.fixture
def project(ready, core, tmp_path, journal):
    """A piping project with the study "S1", journal cleared."""
    directory = core.addPipingProject(str(tmp_path), "Plant", "S1", 1920, 1080)
    assert directory == os.path.join(str(tmp_path), "Plant")
    journal.clear()
    return directory


@pytest.fixture
def fresh_dlls(core):
    """The module has loaded nothing yet, so every load_dll reaches the bridge."""
    core._dlls_ = []
    return core._dlls_


@pytest.fixture
def cwd(tmp_path):
    """A working directory of the test's own, entered for the test."""
    work = tmp_path / "work"
    work.mkdir()
    os.chdir(work)
    return str(work)


# ------------------------------------------------------------------ guards

GUARDED = [
    ("addProjectFolder", ("d", "f")),
    ("removeProjectFolder", ("d",)),
    ("addPipingProject", ("d", "p", "s", 1920, 1080)),
    ("addStructureProject", ("d", "p", "s", 1920, 1080)),
    ("removeProject", ("d",)),
    ("addPipingStudy", ("d", "s", 1920, 1080)),
    ("addStructureStudy", ("d", "s", 1920, 1080)),
    ("removeStudy", ("d", "s")),
    ("duplicateStudy", ("d", "s", "c")),
]


@pytest.mark.parametrize("name, args", GUARDED, ids=[g[0] for g in GUARDED])
def test_guarded_functions_refuse_before_setup(core, installation, tmp_path, journal, name, args):
    existing = tmp_path / "existing"
    existing.mkdir()
    args = tuple(str(existing) if a == "d" else a for a in args)
    with pytest.raises(EnvironmentError):
        getattr(core, name)(*args)
    assert existing.is_dir() and list(existing.iterdir()) == []
    assert len(journal) == 0


def test_add_project_has_no_guard(core, installation, tmp_path):
    assert core._validSetup_ is False
    assert core.addProject(str(tmp_path), "", "S1", 1920, 1080, None) == ""


# ------------------------------------------------------------------ project folders


class TestAddProjectFolder:
    @pytest.mark.parametrize("kind", ["folder", "file"])
    def test_existing_path_is_left_alone(self, core, ready, tmp_path, kind):
        target = tmp_path / "taken"
        if kind == "folder":
            target.mkdir()
            (target / "inside.txt").write_text("keep")
        else:
            target.write_text("keep")
        assert core.addProjectFolder(str(tmp_path), "taken") == ""
        if kind == "folder":
            assert [p.name for p in target.iterdir()] == ["inside.txt"]
        else:
            assert target.read_text() == "keep"

    def test_nested_levels_are_all_created(self, core, ready, tmp_path):
        folder_name = os.path.join("a", "b", "c")
        result = core.addProjectFolder(str(tmp_path), folder_name)
        assert result == os.path.join(str(tmp_path), folder_name)
        assert os.path.isdir(result)

    def test_absolute_name_replaces_the_directory(self, core, ready, tmp_path):
        elsewhere = str(tmp_path / "elsewhere" / "folder")
        assert core.addProjectFolder(str(tmp_path / "ignored"), elsewhere) == elsewhere
        assert os.path.isdir(elsewhere)
        assert not (tmp_path / "ignored").exists()

    def test_creation_failure_propagates(self, core, ready, tmp_path):
        blocker = tmp_path / "blocker"
        blocker.write_text("a file, not a folder")
        with pytest.raises(OSError):
            core.addProjectFolder(str(blocker), "sub")


# ------------------------------------------------------------------ folder removal
# removeProjectFolder and removeProject take the same steps.

REMOVERS = ["removeProjectFolder", "removeProject"]


@pytest.mark.parametrize("remover", REMOVERS)
class TestRemoveFolder:
    @pytest.mark.parametrize("kind", ["missing", "file"])
    def test_missing_path_or_file_changes_nothing(self, core, ready, tmp_path, cwd, remover, kind):
        target = tmp_path / "target"
        if kind == "file":
            target.write_text("keep")
        assert getattr(core, remover)(str(target)) is None
        assert os.getcwd() == cwd
        assert target.exists() == (kind == "file")

    def test_folder_elsewhere_keeps_the_current_directory(self, core, ready, tmp_path, cwd, journal, remover):
        target = tmp_path / "projects" / "p1"
        (target / "study").mkdir(parents=True)
        (target / "study" / "data.txt").write_text("x")
        assert getattr(core, remover)(str(target)) is None
        assert not target.exists()
        assert (tmp_path / "projects").is_dir()
        assert os.getcwd() == cwd
        assert len(journal) == 0  # the host is not told

    @pytest.mark.parametrize("depth", ["the folder", "below it"])
    def test_current_directory_inside_moves_to_the_parent(self, core, ready, tmp_path, remover, depth):
        target = tmp_path / "projects" / "p1"
        below = target / "s" / "t"
        below.mkdir(parents=True)
        os.chdir(target if depth == "the folder" else below)
        getattr(core, remover)(str(target))
        assert not target.exists()
        assert os.getcwd() == str(tmp_path / "projects")

    @pytest.mark.parametrize("given", [".", os.path.join("..", "p1")])
    def test_relative_name_seen_from_inside(self, core, ready, tmp_path, remover, given):
        (tmp_path / "p1" / "inner").mkdir(parents=True)
        os.chdir(tmp_path / "p1")
        getattr(core, remover)(given)
        assert not (tmp_path / "p1").exists()
        assert os.getcwd() == str(tmp_path)

    @pytest.mark.parametrize("inside", [False, True])
    def test_bytes_and_path_like_names_are_removed(self, core, ready, tmp_path, cwd, remover, inside):
        for name, given in [("b", os.fsencode(tmp_path / "b")), ("p", tmp_path / "p")]:
            (tmp_path / name / "inner").mkdir(parents=True)
            if inside:
                os.chdir(tmp_path / name / "inner")
            getattr(core, remover)(given)
            assert not (tmp_path / name).exists()
            assert os.getcwd() == (str(tmp_path) if inside else cwd)

    def test_sibling_with_a_longer_name_is_not_inside(self, core, ready, tmp_path, remover):
        (tmp_path / "p1").mkdir()
        (tmp_path / "p10").mkdir()
        os.chdir(tmp_path / "p10")
        getattr(core, remover)(str(tmp_path / "p1"))
        assert not (tmp_path / "p1").exists()
        assert os.getcwd() == str(tmp_path / "p10")

    @pytest.mark.parametrize("relative", ["p1", os.path.join("projects", "p1")])
    def test_relative_path_is_taken_from_the_current_directory(self, core, ready, cwd, remover, relative):
        os.makedirs(os.path.join(relative, "inner"))
        getattr(core, remover)(relative)
        assert not os.path.exists(relative)
        assert os.getcwd() == cwd

    def test_deletion_errors_are_swallowed(self, core, ready, tmp_path, cwd, remover):
        class FailingShutil:
            @staticmethod
            def rmtree(path):
                raise PermissionError("held open")

        target = tmp_path / "p1"
        target.mkdir()
        core.shutil = FailingShutil
        assert getattr(core, remover)(str(target)) is None
        assert target.is_dir()
        assert os.getcwd() == cwd

    def test_interrupts_are_not_swallowed(self, core, ready, tmp_path, remover):
        class InterruptedShutil:
            @staticmethod
            def rmtree(path):
                raise KeyboardInterrupt

        (tmp_path / "p1").mkdir()
        core.shutil = InterruptedShutil
        with pytest.raises(KeyboardInterrupt):
            getattr(core, remover)(str(tmp_path / "p1"))

    def test_existence_errors_propagate(self, core, ready, remover):
        with pytest.raises(TypeError):
            getattr(core, remover)(object())


# ------------------------------------------------------------------ projects

TWINS = [("addPipingProject", "Tubrolis"), ("addStructureProject", "Trabexon")]


class TestAddProject:
    @pytest.mark.parametrize("twin, member", TWINS)
    def test_twin_creates_project_with_first_study(
        self, core, ready, fresh_dlls, tmp_path, journal, twin, member
    ):
        directory = getattr(core, twin)(str(tmp_path), "Plant", "First", 1920, 1080)
        assert directory == os.path.join(str(tmp_path), "Plant")
        assert os.path.isfile(project_file(directory))
        [(where, point, empty, study, kind)] = journal.args("ProjectViewModel.CreateNewProject")
        assert (where, empty, study) == (directory, "", "First")
        assert kind == getattr(host_module(), member) and type(kind) is host_module()
        assert (point.X, point.Y) == (810.0, 340.0)
        assert journal.args("ProjectViewModel.ctor") == [(None,)]
        assert loaded_assemblies(journal) == [SDK_DLL, PROJECT_DLL]
        assert has_study(directory, "First")

    @pytest.mark.parametrize(
        "size, position",
        [((1920, 1080), (810.0, 340.0)), ((1921, 1081), (810.5, 340.5)),
         ((300, 400), (0.0, 0.0)), ((100, 200), (-100.0, -100.0)), ((1920.5, 1081), (810.25, 340.5))],
    )
    def test_position_is_centred_by_true_division(self, core, ready, tmp_path, journal, size, position):
        core.addPipingProject(str(tmp_path), "Plant", "S1", *size)
        [(_, point, *_rest)] = journal.args("ProjectViewModel.CreateNewProject")
        assert (point.X, point.Y) == position

    def test_existing_project_path_takes_only_the_twin_steps(self, core, ready, fresh_dlls, tmp_path, journal):
        (tmp_path / "Plant").mkdir()
        assert core.addPipingProject(str(tmp_path), "Plant", "S1", 1920, 1080) == ""
        assert loaded_assemblies(journal) == [SDK_DLL]
        assert fresh_dlls == [SDK_DLL]
        assert journal.ops("ProjectViewModel") == [] and journal.ops("Point") == []
        assert list((tmp_path / "Plant").iterdir()) == []

    def test_absolute_project_name_replaces_the_directory(self, core, ready, tmp_path):
        absolute = str(tmp_path / "elsewhere" / "Plant")
        assert core.addStructureProject(str(tmp_path / "ignored"), absolute, "S1", 1920, 1080) == absolute
        assert os.path.isfile(project_file(absolute))
        assert not (tmp_path / "ignored").exists()

    def test_name_with_an_extension(self, core, ready, tmp_path):
        directory = core.addPipingProject(str(tmp_path), "Plant.old", "S1", 1920, 1080)
        assert os.path.isfile(os.path.join(directory, "Plant.project"))
        assert core.addPipingStudy(directory, "S2", 1920, 1080) is not None

    @pytest.mark.parametrize("twin, member", TWINS)
    def test_twins_return_the_workers_result_unchanged(self, core, ready, twin, member):
        check_twin_hands_over(core, "addProject", twin, member, ("dir", "name", "study", 1, 2))

    def test_worker_passes_the_kind_unchanged(self, core, ready, tmp_path, journal):
        kind = host_module().Trabexon
        core.addProject(str(tmp_path), "Plant", "S1", 1920, 1080, kind)
        [args] = journal.args("ProjectViewModel.CreateNewProject")
        assert args[4] is kind


class TestAddProjectFailure:
    """A failure after the folder was made takes the folder back, so the
    same call can be made again."""

    @pytest.mark.parametrize("cause", ["text width", "text height", "host", "assembly"])
    def test_failed_project_is_removed_and_can_be_retried(
        self, core, ready, fresh_dlls, tmp_path, switches, journal, cause
    ):
        directory, name = str(tmp_path), os.path.join("group", "Plant")
        size = [1920, 1080]
        installation_paths = (core._dllPath_, core._exePath_)
        if cause == "text width":
            size[0] = "1920"
            expected = TypeError
        elif cause == "text height":
            size[1] = "1080"
            expected = TypeError
        elif cause == "host":
            switches.fail("ProjectViewModel.CreateNewProject", times=1)
            expected = veltrane_sim.InvalidOperationException
        else:
            fresh_dlls.append(SDK_DLL)  # only the project assembly is missing
            core._dllPath_ = core._exePath_ = str(tmp_path / "no-installation")
            expected = FileNotFoundError
        with pytest.raises(expected):
            core.addPipingProject(directory, name, "S1", *size)
        assert not (tmp_path / "group" / "Plant").exists()
        assert (tmp_path / "group").is_dir()  # only the project folder itself is taken back

        core._dllPath_, core._exePath_ = installation_paths
        project = core.addPipingProject(directory, name, "S1", 1920, 1080)
        assert project == os.path.join(directory, name)
        assert has_study(project, "S1")

    def test_partly_written_project_goes_too(self, core, ready, tmp_path, monkeypatch):
        from Veltrane.Tubrolis.Project import ProjectViewModel

        create = ProjectViewModel.CreateNewProject

        def create_then_fail(self, *args):
            create(self, *args)
            raise veltrane_sim.IOException("disk full")

        monkeypatch.setattr(ProjectViewModel, "CreateNewProject", create_then_fail)
        with pytest.raises(veltrane_sim.IOException):
            core.addPipingProject(str(tmp_path), "Plant", "S1", 1920, 1080)
        assert not (tmp_path / "Plant").exists()


# ------------------------------------------------------------------ studies

STUDY_TWINS = [("addPipingStudy", "Tubrolis"), ("addStructureStudy", "Trabexon")]


class TestAddStudy:
    @pytest.mark.parametrize("twin, member", STUDY_TWINS)
    def test_new_study_is_stored_in_the_project(self, core, project, journal, twin, member):
        study = getattr(core, twin)(project, "S2", 1921, 1081)
        assert study.Name == "S2" and study.Module == getattr(host_module(), member)
        [(point, kind, name)] = journal.args("ProjectViewModel.AddEmptyStudy")
        assert (point.X, point.Y, kind, name) == (810.5, 340.5, getattr(host_module(), member), "S2")
        assert journal.args("ProjectViewModel.LoadFromFile") == [(project_file(project),)]
        assert journal.args("ProjectViewModel.GetStudy") == [("S2",), ("S2",)]
        assert has_study(project, "S2") and has_study(project, "S1")

    def test_each_call_reads_the_project_afresh(self, core, project, journal):
        assert core.addPipingStudy(project, "S2", 1920, 1080) is not None
        assert core.addStructureStudy(project, "S2", 1920, 1080) is None  # taken by the first call
        outside = open_project(project)
        outside.SetCurrentStudy("S2")
        outside.DuplicateCurrentStudy()  # a change made behind the module's back
        journal.clear()
        assert core.addPipingStudy(project, "S2 - Copy", 1920, 1080) is None
        assert view_models_built(journal) == 1

    @pytest.mark.parametrize("width", [1920, "not a number", None])
    def test_existing_name_is_left_alone_whatever_the_screen(self, core, project, journal, width):
        before = veltrane_sim.read_project(project_file(project))
        assert core.addStructureStudy(project, "S1", width, 1080) is None
        assert journal.ops("ProjectViewModel.AddEmptyStudy") == []
        assert veltrane_sim.read_project(project_file(project)) == before

    def test_bad_screen_size_raises_only_when_adding(self, core, project):
        with pytest.raises(TypeError):
            core.addPipingStudy(project, "S2", 1920, "tall")
        assert not has_study(project, "S2")

    def test_none_when_the_host_does_not_find_the_new_study(self, core, project, monkeypatch):
        from Veltrane.Tubrolis.Project import ProjectViewModel

        monkeypatch.setattr(ProjectViewModel, "AddEmptyStudy", lambda self, *args: None)
        assert core.addPipingStudy(project, "S2", 1920, 1080) is None

    @pytest.mark.parametrize("twin, member", STUDY_TWINS)
    def test_twins_return_the_workers_result_unchanged(self, core, ready, twin, member):
        check_twin_hands_over(core, "addStudy", twin, member, ("dir", "study", 1, 2))

    def test_worker_passes_the_kind_unchanged(self, core, project, journal):
        kind = host_module().Trabexon
        core.addStudy(project, "S2", 1920, 1080, kind)
        [(_, passed, _)] = journal.args("ProjectViewModel.AddEmptyStudy")
        assert passed is kind


def missing_project(tmp_path):
    folder = tmp_path / "Empty"
    folder.mkdir()
    (folder / "Other.project").write_text("{}")  # not the file this folder's name gives
    return str(folder)


STUDY_OPS = [
    ("addPipingStudy", ("S9", 1920, 1080)),
    ("addStructureStudy", ("S9", 1920, 1080)),
    ("removeStudy", ("S1",)),
    ("duplicateStudy", ("S1", "C1")),
]


@pytest.mark.parametrize("op, args", STUDY_OPS, ids=[o[0] for o in STUDY_OPS])
@pytest.mark.parametrize("where", ["missing project file", "trailing separator"])
def test_no_project_file_builds_no_view_model(core, project, tmp_path, journal, op, args, where):
    directory = missing_project(tmp_path) if where == "missing project file" else project + os.sep
    before = veltrane_sim.read_project(project_file(project))
    assert getattr(core, op)(directory, *args) is None
    assert view_models_built(journal) == 0
    assert journal.ops("ProjectViewModel") == []
    assert veltrane_sim.read_project(project_file(project)) == before


def test_trailing_separator_uses_a_bare_project_file(core, project):
    shutil.copy(project_file(project), os.path.join(project, ".project"))
    assert core.addPipingStudy(project + os.sep, "S2", 1920, 1080).Name == "S2"
    bare = veltrane_sim.read_project(os.path.join(project, ".project"))
    assert [s["name"] for s in bare["studies"]] == ["S1", "S2"]
    assert not has_study(project, "S2")


class TestRemoveStudy:
    def test_study_is_deleted(self, core, project, journal):
        core.addStructureStudy(project, "S2", 1920, 1080)
        journal.clear()
        assert core.removeStudy(project, "S2") is None
        assert journal.ops("ProjectViewModel.") == [
            "ProjectViewModel.ctor", "ProjectViewModel.LoadFromFile", "ProjectViewModel.GetStudy",
            "ProjectViewModel.SetCurrentStudy", "ProjectViewModel.DeleteCurrentStudy",
        ]
        assert journal.args("ProjectViewModel.SetCurrentStudy") == [("S2",)]
        assert not has_study(project, "S2") and has_study(project, "S1")

    def test_last_study_is_the_hosts_to_refuse(self, core, project):
        assert core.removeStudy(project, "S1") is None
        assert has_study(project, "S1")

    @pytest.mark.parametrize("op, extra", [("removeStudy", ()), ("duplicateStudy", ("C1",))])
    def test_missing_study_stops_after_the_lookup(self, core, project, journal, op, extra):
        before = veltrane_sim.read_project(project_file(project))
        assert getattr(core, op)(project, "nothing", *extra) is None
        assert journal.ops("ProjectViewModel.")[-1] == "ProjectViewModel.GetStudy"
        assert veltrane_sim.read_project(project_file(project)) == before


class TestDuplicateStudy:
    def test_host_sequence_and_copy(self, core, project, journal):
        core.addStructureStudy(project, "Frame", 1920, 1080)
        journal.clear()
        core._dlls_ = []
        assert core.duplicateStudy(project, "Frame", "Frame B") is None
        assert loaded_assemblies(journal) == [HELPER_DLL, PROJECT_DLL]
        calls = [(c.op, c.args) for c in journal.entries() if c.op.startswith("ProjectViewModel.")]
        assert calls == [
            ("ProjectViewModel.ctor", (None,)),
            ("ProjectViewModel.LoadFromFile", (project_file(project),)),
            ("ProjectViewModel.GetStudy", ("Frame",)),
            ("ProjectViewModel.SetCurrentStudy", ("Frame",)),
            ("ProjectViewModel.DuplicateCurrentStudy", ()),
            ("ProjectViewModel.GetCurrentStudyName", ()),
            ("ProjectViewModel.SetCurrentStudy", ("Frame - Copy",)),
            ("ProjectViewModel.RenameCurrentStudy", ("Frame B",)),
        ]
        view_model = open_project(project)
        source, copy = view_model.GetStudy("Frame"), view_model.GetStudy("Frame B")
        assert copy.Module == host_module().Trabexon
        assert copy.GetModel().same_content(source.GetModel())
        assert view_model.GetStudy("Frame - Copy") is None

    def test_copy_of_a_study_with_content(self, core, project):
        # Give S1 a model of its own, then duplicate it: the copy carries it.
        path = veltrane_sim.project_file_for(project)
        document = veltrane_sim.read_project(path)
        document["studies"][0]["content"] = veltrane_sim.sample_model("Tubrolis")
        with open(path, "w", encoding="utf-8") as f:
            json.dump(document, f)
        core.duplicateStudy(project, "S1", "S1 again")
        studies = {s["name"]: s for s in veltrane_sim.read_project(path)["studies"]}
        assert set(studies) == {"S1", "S1 again"}
        assert studies["S1 again"]["content"] == studies["S1"]["content"]
        assert studies["S1"]["content"]["elements"]


class TestComparisonWithNone:
    """GetStudy's answer is compared with None by equality: a host null that
    compares equal to None counts as no study."""

    class NullStudy:
        def __eq__(self, other):
            return other is None

        def __ne__(self, other):
            return other is not None

    def test_add_goes_on_for_a_null_like_answer(self, core, project, monkeypatch):
        from Veltrane.Tubrolis.Project import ProjectViewModel

        real_get = ProjectViewModel.GetStudy
        first = [self.NullStudy()]  # the first lookup answers a null-like object
        monkeypatch.setattr(
            ProjectViewModel, "GetStudy", lambda vm, name: first.pop() if first else real_get(vm, name)
        )
        study = core.addPipingStudy(project, "S1 twin", 1920, 1080)
        assert study.Name == "S1 twin"

    @pytest.mark.parametrize("op, extra", [("removeStudy", ()), ("duplicateStudy", ("C1",))])
    def test_remove_and_duplicate_stop_for_a_null_like_answer(
        self, core, project, journal, monkeypatch, op, extra
    ):
        from Veltrane.Tubrolis.Project import ProjectViewModel

        monkeypatch.setattr(ProjectViewModel, "GetStudy", lambda vm, name: self.NullStudy())
        getattr(core, op)(project, "S1", *extra)
        assert journal.ops("ProjectViewModel.SetCurrentStudy") == []
