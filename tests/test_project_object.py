"""Projects as objects: a project's life with its studies, and every refusal with its reason."""

import os

import pytest

import veltrane_sim
from veltrane_computer.project import ProjectError


@pytest.fixture
def plant(session, tmp_path):
    return session.new_project(tmp_path, "Plant", "piping", study="Line1")


def refusal(call, *args):
    with pytest.raises(ProjectError) as caught:
        call(*args)
    return caught.value


class TestLife:
    def test_studies_from_creation_to_removal(self, session, tmp_path, capsys):
        plant = session.new_project(str(tmp_path), "Plant", "piping")
        assert repr(plant) == f"<Project 'Plant' at {str(tmp_path / 'Plant')!r}>"
        assert (plant.directory, plant.file) == (tmp_path / "Plant", tmp_path / "Plant" / "Plant.project")
        assert plant.studies == ("Plant",)
        plant.add_study("Rack", "structure", screen=(1000, 800))
        plant.duplicate_study("Plant", "Plant, hot")
        plant.remove_study("Plant")
        again = session.project(tmp_path / "Plant")
        assert again.studies == ("Plant, hot", "Rack")
        studies = {s["name"]: s for s in veltrane_sim.read_project(str(again.file))["studies"]}
        assert (studies["Rack"]["kind"], studies["Rack"]["position"]) == ("Trabexon", {"x": 350.0, "y": 200.0})
        again.remove()
        assert not plant.directory.exists()
        assert capsys.readouterr().out == ""

    def test_first_study_of_a_structure_project(self, session, tmp_path):
        yard = session.new_project(tmp_path / "projects", "Yard", "structure", study="Frame")
        (study,) = veltrane_sim.read_project(str(yard.file))["studies"]
        assert (study["name"], study["kind"]) == ("Frame", "Trabexon")

    def test_remove_takes_a_link_not_its_target(self, session, plant, tmp_path):
        (tmp_path / "links").mkdir()
        link = tmp_path / "links" / "Plant"  # the project file is named after the folder as given
        link.symlink_to(plant.directory)
        session.project(link).remove()
        assert not os.path.lexists(link)
        assert plant.studies == ("Line1",)


class TestRefusals:
    def test_projects(self, session, plant, tmp_path):
        error = refusal(session.new_project, tmp_path, "Plant", "structure")
        assert (error.reason, error.directory) == ("project-exists", plant.directory)
        (tmp_path / "empty").mkdir()
        for missing in (tmp_path / "nowhere", tmp_path / "empty"):
            error = refusal(session.project, missing)
            assert (error.reason, str(error)) == (
                "missing-project",
                f"project '{missing}': no project file '{missing.name}.project' (the project does not exist)",
            )

    def test_studies(self, plant):
        cases = [
            (plant.add_study, ("Line1", "structure"), "study-exists", "Line1"),
            (plant.duplicate_study, ("Ghost", "Copy"), "missing-study", "Ghost"),
            (plant.duplicate_study, ("Line1", "Line1"), "study-exists", "Line1"),
            (plant.remove_study, ("Ghost",), "missing-study", "Ghost"),
            (plant.remove_study, ("Line1",), "refused", "Line1"),  # the application keeps the last study
        ]
        for call, args, reason, study in cases:
            error = refusal(call, *args)
            assert (error.reason, error.study) == (reason, study), call.__name__
        assert plant.studies == ("Line1",)

    def test_a_removed_project(self, plant):
        plant.remove()
        for call, args in ((plant.add_study, ("S", "piping")), (plant.remove_study, ("Line1",)), (plant.remove, ())):
            assert refusal(call, *args).reason == "missing-project"
        with pytest.raises(ProjectError):
            assert plant.studies

    def test_host_refusals_name_the_cause(self, session, plant, tmp_path):
        veltrane_sim.switches.fail("ProjectViewModel.CreateNewProject")
        error = refusal(session.new_project, tmp_path, "Broken", "piping")
        assert error.reason == "refused" and error.__cause__ is not None
        assert str(error).endswith(
            "the project was not created: Simulated failure of ProjectViewModel.CreateNewProject."
        )
        assert not (tmp_path / "Broken").exists()
        veltrane_sim.switches.fail("ProjectViewModel.RenameCurrentStudy")
        error = refusal(plant.duplicate_study, "Line1", "Line1, cold")
        assert (error.reason, error.study) == ("refused", "Line1")

    def test_bad_arguments(self, session, plant, tmp_path):
        with pytest.raises(ValueError, match="name: 'a/b' is not the name of a folder"):
            session.new_project(tmp_path, "a/b", "piping")
        with pytest.raises(ValueError, match="kind: 'Tubrolis' is not one of"):
            plant.add_study("S", "Tubrolis")
        with pytest.raises(ValueError, match="copy_name: '  ' is not a study name"):
            plant.duplicate_study("Line1", "  ")
        assert plant.studies == ("Line1",)

    def test_another_setup_retires_the_projects(self, plant, session_on, tmp_path):
        other = veltrane_sim.make_installation(tmp_path / "other")
        with session_on(other):
            with pytest.raises(RuntimeError, match="no longer set up"):
                plant.add_study("S", "piping")


def test_an_application_that_does_not_list_studies(plant, monkeypatch):
    from veltrane_sim import _project

    monkeypatch.delattr(_project.ProjectViewModel, "StudyNames")
    assert refusal(lambda: plant.studies).reason == "unsupported"
    plant.duplicate_study("Line1", "Line1 hot")  # the checks that need no list still hold
    assert refusal(plant.duplicate_study, "Line1", "Line1 hot").reason == "study-exists"
