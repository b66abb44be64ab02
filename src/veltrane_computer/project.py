"""Projects and their studies as Python objects.

    with Session.open(installation) as session:
        plant = session.new_project("D:/Work", "Plant", "piping")      # D:/Work/Plant, first study "Plant"
        plant.add_study("Rack", "structure")
        plant.duplicate_study("Plant", "Plant, hot")
        print(plant.studies)                                             # ('Plant', 'Plant, hot', 'Rack')

Every operation checks first what it needs (the project, the study, a free
name) and then that the application did it, and raises :class:`ProjectError`
whose ``reason`` says why, where the core would print a line or answer None.
"""

from __future__ import annotations

import importlib
import os
from pathlib import Path
from typing import TYPE_CHECKING, Any, Literal

from .model import Kind, checked_kind, host_message
from ._core_calls import StrPath, core_output
from ._core_calls import path_argument as _path

if TYPE_CHECKING:
    from .session import Session

__all__ = ["Project", "ProjectError", "ProjectFailure", "SCREEN"]

ProjectFailure = Literal[
    "missing-project", "project-exists", "missing-study", "study-exists", "refused", "unsupported"
]

# The screen a study's first position is centred on, when none is given.
SCREEN = (1920, 1080)


class ProjectError(Exception):
    """A project or study operation that was not done; ``reason`` is one of the :data:`ProjectFailure`
    values, ``directory`` the project's folder and ``study`` the study concerned, if any."""

    def __init__(self, message: str, *, directory: StrPath, reason: ProjectFailure, study: str | None = None) -> None:
        super().__init__(message)
        self.directory = Path(directory)
        self.reason: ProjectFailure = reason
        self.study = study

    def __reduce__(self) -> tuple[Any, ...]:
        fields = {"directory": self.directory, "reason": self.reason, "study": self.study}
        return (_rebuild_project_error, (self.args[0], fields))


def _rebuild_project_error(message: str, fields: dict[str, Any]) -> ProjectError:
    return ProjectError(message, **fields)


def project_file_for(directory: Path) -> Path:
    """Where the application keeps the project file of a project folder."""
    return directory / (os.path.splitext(directory.name)[0] + ".project")


class Project:
    """A project folder of the application and its studies. Make one with :meth:`Session.project`
    or :meth:`Session.new_project`."""

    def __init__(self, session: Session, directory: Path) -> None:
        self._session = session
        self._directory = directory

    @property
    def directory(self) -> Path:
        return self._directory

    @property
    def name(self) -> str:
        return self._directory.name

    @property
    def file(self) -> Path:
        """The project file the application keeps in the folder."""
        return project_file_for(self._directory)

    @property
    def session(self) -> Session:
        return self._session

    def __repr__(self) -> str:
        return f"<Project {self.name!r} at {str(self._directory)!r}>"

    @property
    def studies(self) -> tuple[str, ...]:
        """The names of the project's studies, in the project's order. The list comes from the
        application's ``StudyNames``; an application without it is a ProjectError ("unsupported")."""
        with core_output():
            names = self._study_names()
        if names is None:
            raise self._error("the application does not list the studies of a project", "unsupported")
        return names

    def add_study(self, name: str, kind: Kind, screen: tuple[float, float] = SCREEN) -> None:
        """Add an empty study of ``kind`` named ``name``, placed in the middle of a ``screen`` (w, h)."""
        checked = checked_kind(kind)
        _study_name(name, "name")
        from . import veltrane_core as core

        add = core.addPipingStudy if checked == "piping" else core.addStructureStudy
        with core_output():
            self._check_study(name, present=False)
            with _HostRefusal(self, f"the study {name!r} was not added", name):
                added = add(os.fspath(self._directory), name, screen[0], screen[1])
            if added is None:
                raise self._error(f"the application did not add the study {name!r}", "refused", name)

    def duplicate_study(self, name: str, copy_name: str) -> None:
        """Copy the study ``name`` as a new study ``copy_name``."""
        _study_name(copy_name, "copy_name")
        from . import veltrane_core as core

        with core_output():
            self._check_study(name, present=True)
            self._check_study(copy_name, present=False)
            before = set(self._study_names() or ())
            with _HostRefusal(self, f"the study {name!r} was not duplicated", name):
                core.duplicateStudy(os.fspath(self._directory), name, copy_name)
            if not self._has_study(copy_name):
                made = ", ".join(repr(study) for study in sorted(set(self._study_names() or ()) - before))
                kept = f"; its copy is named {made}" if made else ""
                raise self._error(f"the application refused the name {copy_name!r}{kept}", "refused", copy_name)

    def remove_study(self, name: str) -> None:
        """Delete the study ``name``; the application keeps the last study of a project."""
        from . import veltrane_core as core

        with core_output():
            self._check_study(name, present=True)
            with _HostRefusal(self, f"the study {name!r} was not removed", name):
                core.removeStudy(os.fspath(self._directory), name)
            if self._has_study(name):
                raise self._error(
                    f"the application kept the study {name!r} (a project keeps one study)", "refused", name
                )

    def remove(self) -> None:
        """Delete the project folder and everything in it. A link given as the project's folder is
        removed as a link: the folder it leads to stays."""
        from . import veltrane_core as core

        with core_output():
            self._check_project()
            core.removeProject(os.fspath(self._directory))
            if os.path.lexists(self._directory):
                raise self._error(f"'{self._directory}' could not be removed entirely", "refused")

    # --- checks and the host's view of the project -------------------------------------------------------------

    def _error(self, message: str, reason: ProjectFailure, study: str | None = None) -> ProjectError:
        return ProjectError(
            f"project '{self._directory}': {message}", directory=self._directory, reason=reason, study=study
        )

    def _check_project(self) -> None:
        self._session._ensure_current()
        if not self.file.is_file():
            raise self._error(f"no project file {self.file.name!r} (the project does not exist)", "missing-project")

    def _check_study(self, name: str, present: bool) -> None:
        self._check_project()
        if self._has_study(name) != present:
            if present:
                raise self._error(f"no study named {name!r}", "missing-study", name)
            raise self._error(f"a study named {name!r} exists already", "study-exists", name)

    def _study_names(self) -> tuple[str, ...] | None:
        """The study names, where the application lists them (None where it does not)."""
        names = getattr(self._view_model(), "StudyNames", None)
        return None if names is None else tuple(str(name) for name in names)

    def _has_study(self, name: str) -> bool:
        return self._view_model().GetStudy(name) is not None

    def _view_model(self) -> Any:
        """A view model of the project, loaded from its file (as the core's own study functions do)."""
        from . import veltrane_core as core

        self._check_project()
        core.load_dll("Veltrane.Tubrolis.Project.dll")
        view_model = importlib.import_module("Veltrane.Tubrolis.Project").ProjectViewModel(None)
        view_model.LoadFromFile(os.fspath(self.file))
        return view_model


def _study_name(value: object, parameter: str) -> None:
    if not isinstance(value, str) or not value.strip():
        raise ValueError(f"{parameter}: {value!r} is not a study name")


class _HostRefusal:
    """Turns what the host raises during an operation into a ProjectError naming the study."""

    def __init__(self, project: Project, message: str, study: str) -> None:
        self._project = project
        self._message = message
        self._study = study

    def __enter__(self) -> None:
        return None

    def __exit__(self, kind: type[BaseException] | None, error: BaseException | None, traceback: object) -> None:
        if isinstance(error, Exception) and not isinstance(error, ProjectError):
            failure = self._project._error(f"{self._message}: {host_message(error)}", "refused", self._study)
            raise failure from error


def open_project(session: Session, directory: StrPath) -> Project:
    """The existing project in ``directory``; ProjectError when it has no project file."""
    project = Project(session, _path(directory, "directory"))
    project._check_project()
    return project


def new_project(
    session: Session,
    directory: StrPath,
    name: str,
    kind: Kind,
    study: str | None = None,
    screen: tuple[float, float] = SCREEN,
) -> Project:
    """A new project ``directory/name`` whose first study, of ``kind``, is named ``study`` (default:
    ``name``)."""
    session._ensure_current()
    checked = checked_kind(kind)
    if not name or name in (".", "..") or os.sep in name or (os.altsep and os.altsep in name):
        raise ValueError(f"name: {name!r} is not the name of a folder")
    parent = _path(directory, "directory")
    project = Project(session, parent / name)
    from . import veltrane_core as core

    add = core.addPipingProject if checked == "piping" else core.addStructureProject
    first = name if study is None else study
    with core_output():
        with _HostRefusal(project, "the project was not created", first):
            made = add(os.fspath(parent), name, first, screen[0], screen[1])
        if made == "":
            raise project._error("the folder exists already", "project-exists")
    project._check_project()
    return project
