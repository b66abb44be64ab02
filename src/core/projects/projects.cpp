// Projects: a folder holding the host's project file and its studies.
// addProject makes the folder and has the host's project view model write a
// new project with its first study into it; the twins fix the study kind;
// removeProject deletes the folder as removeProjectFolder does.
#include "projects/projects.hpp"
#include "frame/functions.hpp"
#include "host/bridge.hpp"
#include "host/names.hpp"

namespace vc {

// The top-left corner of a 300 x 400 area centred on a screen of the given
// size, ((width - 300) / 2, (height - 400) / 2) as true-division floats, as a
// host Point. Also the position of a study added by addStudy (studies.cpp).
py::object centred_study_point(py::handle Point, py::handle screenWidth, py::handle screenheight) {
    py::object two = steal(PyLong_FromLong(2));
    py::object x = steal(PyNumber_TrueDivide(
        steal(PyNumber_Subtract(screenWidth.ptr(), steal(PyLong_FromLong(300)).ptr())).ptr(), two.ptr()));
    py::object y = steal(PyNumber_TrueDivide(
        steal(PyNumber_Subtract(screenheight.ptr(), steal(PyLong_FromLong(400)).ptr())).ptr(), two.ptr()));
    return call(Point, x, y);
}

namespace {

Name CreateNewProject{"CreateNewProject"};

// The steps after the project folder exists: the host writes the project.
void create_project(const Module& module, py::handle projectDirectory, Args args) {
    load_dll(module, names::project_dll);
    py::object ProjectViewModel = import_from(module, names::project_namespace, names::ProjectViewModel);
    py::object Point = import_from(module, names::windows_namespace, names::Point);
    py::object projectViewModel = call(ProjectViewModel, py::none());
    py::object point = centred_study_point(Point, args[3], args[4]);
    call_method(projectViewModel, CreateNewProject, projectDirectory, point, text(""), args[2], args[5]);
}

// addProject(directory, projectName, studyName, screenWidth, screenheight, module)
py::object addProject_body(const Module& module, Args args) {
    py::object projectDirectory = path_join(module, args[0], args[1]);
    if (path_exists(module, projectDirectory)) return text("");
    call_method(global(module, names::os), names::makedirs, projectDirectory);
    try {
        create_project(module, projectDirectory, args);
    } catch (PythonError&) {
        // A half-made project must not outlive the failure: a folder left
        // behind would make every retry answer "" as if the project existed.
        try {
            call_with_keywords(attr(global(module, names::shutil), names::rmtree), {projectDirectory},
                               {{&names::ignore_errors, Py_True}});
        } catch (PythonError& cleanup) {
            if (!is_exception_family(cleanup)) throw;
        }
        throw;
    }
    return projectDirectory;
}

py::object add_project_of_kind(const Module& module, Args args, const Name& kind) {
    load_dll(module, names::sdk_dll);
    py::object member = attr(import_from(module, names::sdk_namespace, names::VeltraneModule), kind);
    return call_global(module, names::addProject, args[0], args[1], args[2], args[3], args[4], member);
}

py::object addPipingProject_body(const Module& module, Args args) {
    return add_project_of_kind(module, args, names::Tubrolis);
}

py::object addStructureProject_body(const Module& module, Args args) {
    return add_project_of_kind(module, args, names::Trabexon);
}

py::object removeProject_body(const Module& module, Args args) {
    return remove_folder_tree(module, args[0]);
}

}  // namespace

// clang-format off
const Function api::addProject{
    "addProject", {"directory", "projectName", "studyName", "screenWidth", "screenheight", "module"}, Guard::none, addProject_body,
    "addProject(directory, projectName, studyName, screenWidth, screenheight, module)\n\nFor internal use."};

const Function api::addPipingProject{
    "addPipingProject", {"directory", "projectName", "studyName", "screenWidth", "screenheight"}, Guard::setup, addPipingProject_body,
    "addPipingProject(directory, projectName, studyName, screenWidth, screenheight)\n\n"
    "Add a project (projectName) with a piping study (studyName). "
    "Return the project directory if succed, empty string otherwise."};

const Function api::addStructureProject{
    "addStructureProject", {"directory", "projectName", "studyName", "screenWidth", "screenheight"}, Guard::setup, addStructureProject_body,
    "addStructureProject(directory, projectName, studyName, screenWidth, screenheight)\n\n"
    "Add a project (projectName) with a structure study (studyName). "
    "Return the project directory if succed, empty string otherwise."};

const Function api::removeProject{
    "removeProject", {"projectDirectory"}, Guard::setup, removeProject_body,
    "removeProject(projectDirectory)\n\nTry to remove a project by its path."};
// clang-format on

}  // namespace vc
