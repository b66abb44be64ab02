#include "host/bridge.hpp"
#include "host/names.hpp"
#include "functions.hpp"

namespace vc {
namespace {

py::object addProject_body(const Module&, Args) {
    raise(PyExc_NotImplementedError, "addProject");
}

py::object addPipingProject_body(const Module&, Args) {
    raise(PyExc_NotImplementedError, "addPipingProject");
}

py::object addStructureProject_body(const Module&, Args) {
    raise(PyExc_NotImplementedError, "addStructureProject");
}

py::object removeProject_body(const Module&, Args) {
    raise(PyExc_NotImplementedError, "removeProject");
}

}  // namespace

const Function api::addProject{
    "addProject", {"directory", "projectName", "studyName", "screenWidth", "screenheight", "module"}, Guard::none, addProject_body,
    "addProject(directory, projectName, studyName, screenWidth, screenheight, module)\n\n"};

const Function api::addPipingProject{
    "addPipingProject", {"directory", "projectName", "studyName", "screenWidth", "screenheight"}, Guard::setup, addPipingProject_body,
    "addPipingProject(directory, projectName, studyName, screenWidth, screenheight)\n\n"};

const Function api::addStructureProject{
    "addStructureProject", {"directory", "projectName", "studyName", "screenWidth", "screenheight"}, Guard::setup, addStructureProject_body,
    "addStructureProject(directory, projectName, studyName, screenWidth, screenheight)\n\n"};

const Function api::removeProject{
    "removeProject", {"projectDirectory"}, Guard::setup, removeProject_body,
    "removeProject(projectDirectory)\n\n"};

}  // namespace vc
