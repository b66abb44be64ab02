// Studies of a project: added, deleted and duplicated through a fresh host
// project view model loaded from the project file for each call. The host's
// study operations store their changes themselves; nothing is saved here.
#include "frame/functions.hpp"
#include "host/bridge.hpp"
#include "host/names.hpp"
#include "projects/projects.hpp"

namespace vc {

namespace {

Name GetStudy{"GetStudy"};
Name AddEmptyStudy{"AddEmptyStudy"};
Name SetCurrentStudy{"SetCurrentStudy"};
Name DeleteCurrentStudy{"DeleteCurrentStudy"};
Name DuplicateCurrentStudy{"DuplicateCurrentStudy"};
Name GetCurrentStudyName{"GetCurrentStudyName"};
Name RenameCurrentStudy{"RenameCurrentStudy"};

// The project file of a project folder: the folder's last component without
// its extension, plus ".project", inside the folder (D:\Work\Plant.old gives
// D:\Work\Plant.old\Plant.project; a trailing separator gives ".project").
py::object project_filename(const Module& module, py::handle projectDirectory) {
    return path_join(module, projectDirectory, file_name_with_extension(module, projectDirectory, text(".project")));
}

// A project view model holding the project of `projectDirectory` and the
// answer of its GetStudy(studyName); no view model when the project file is
// missing.
struct OpenProject {
    py::object viewModel;  // empty when there is no project file
    py::object study;
};

OpenProject open_project(const Module& module, py::handle ProjectViewModel, py::handle projectDirectory,
                         py::handle studyName) {
    py::object projectFilename = project_filename(module, projectDirectory);
    if (!path_exists(module, projectFilename)) return {};
    py::object projectViewModel = call(ProjectViewModel, py::none());
    call_method(projectViewModel, names::LoadFromFile, projectFilename);
    py::object study = call_method(projectViewModel, GetStudy, studyName);
    return {std::move(projectViewModel), std::move(study)};
}

// addStudy(projectDirectory, studyName, screenWidth, screenheight, module)
py::object addStudy_body(const Module& module, Args args) {
    load_dll(module, names::project_dll);
    py::object ProjectViewModel = import_from(module, names::project_namespace, names::ProjectViewModel);
    py::object Point = import_from(module, names::windows_namespace, names::Point);
    OpenProject project = open_project(module, ProjectViewModel, args[0], args[1]);
    if (!project.viewModel) return py::none();
    if (!equals_none(project.study)) return py::none();  // the name is taken
    py::object point = centred_study_point(Point, args[2], args[3]);
    call_method(project.viewModel, AddEmptyStudy, point, args[4], args[1]);
    return call_method(project.viewModel, GetStudy, args[1]);
}

py::object add_study_of_kind(const Module& module, Args args, const Name& kind) {
    load_dll(module, names::sdk_dll);
    py::object member = attr(import_from(module, names::sdk_namespace, names::VeltraneModule), kind);
    return call_global(module, names::addStudy, args[0], args[1], args[2], args[3], member);
}

py::object addPipingStudy_body(const Module& module, Args args) {
    return add_study_of_kind(module, args, names::Tubrolis);
}

py::object addStructureStudy_body(const Module& module, Args args) {
    return add_study_of_kind(module, args, names::Trabexon);
}

// removeStudy(projectDirectory, studyName)
py::object removeStudy_body(const Module& module, Args args) {
    load_dll(module, names::project_dll);
    py::object ProjectViewModel = import_from(module, names::project_namespace, names::ProjectViewModel);
    OpenProject project = open_project(module, ProjectViewModel, args[0], args[1]);
    if (!project.viewModel || equals_none(project.study)) return py::none();
    call_method(project.viewModel, SetCurrentStudy, args[1]);
    call_method(project.viewModel, DeleteCurrentStudy);
    return py::none();
}

// duplicateStudy(projectDirectory, studyName, copyStudyName)
py::object duplicateStudy_body(const Module& module, Args args) {
    load_dll(module, names::helper_dll);
    load_dll(module, names::project_dll);
    py::object ProjectViewModel = import_from(module, names::project_namespace, names::ProjectViewModel);
    OpenProject project = open_project(module, ProjectViewModel, args[0], args[1]);
    if (!project.viewModel || equals_none(project.study)) return py::none();
    call_method(project.viewModel, SetCurrentStudy, args[1]);
    // The copy becomes the current study; its name is read back and made
    // current again before the rename.
    call_method(project.viewModel, DuplicateCurrentStudy);
    py::object newStudyName = call_method(project.viewModel, GetCurrentStudyName);
    call_method(project.viewModel, SetCurrentStudy, newStudyName);
    call_method(project.viewModel, RenameCurrentStudy, args[2]);
    return py::none();
}

}  // namespace

// clang-format off
const Function api::addStudy{
    "addStudy", {"projectDirectory", "studyName", "screenWidth", "screenheight", "module"}, Guard::none, addStudy_body,
    "addStudy(projectDirectory, studyName, screenWidth, screenheight, module)\n\nFor internal use."};

const Function api::addPipingStudy{
    "addPipingStudy", {"projectDirectory", "studyName", "screenWidth", "screenheight"}, Guard::setup, addPipingStudy_body,
    "addPipingStudy(projectDirectory, studyName, screenWidth, screenheight)\n\n"
    "Add a piping study (studyName) in project (projectDirectory). "
    "Return a StudyModel if no problem or None otherwise."};

const Function api::addStructureStudy{
    "addStructureStudy", {"projectDirectory", "studyName", "screenWidth", "screenheight"}, Guard::setup, addStructureStudy_body,
    "addStructureStudy(projectDirectory, studyName, screenWidth, screenheight)\n\n"
    "Add a structure study (studyName) in project (projectDirectory). "
    "Return a StudyModel if no problem or None otherwise."};

const Function api::removeStudy{
    "removeStudy", {"projectDirectory", "studyName"}, Guard::setup, removeStudy_body,
    "removeStudy(projectDirectory, studyName)\n\n"
    "Try to delete the study (studyName) in project (projectDirectory). "
    "There must be at least one study in the project."};

const Function api::duplicateStudy{
    "duplicateStudy", {"projectDirectory", "studyName", "copyStudyName"}, Guard::setup, duplicateStudy_body,
    "duplicateStudy(projectDirectory, studyName, copyStudyName)\n\n"
    "Duplicate a study (studyName) in project (projectDirectory). "
    "The duplicated study will have copyStudyName as name if possible."};
// clang-format on

}  // namespace vc
