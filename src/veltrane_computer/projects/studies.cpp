#include "host/bridge.hpp"
#include "host/names.hpp"
#include "functions.hpp"

namespace vc {
namespace {

py::object addStudy_body(const Module&, Args) {
    raise(PyExc_NotImplementedError, "addStudy");
}

py::object addPipingStudy_body(const Module&, Args) {
    raise(PyExc_NotImplementedError, "addPipingStudy");
}

py::object addStructureStudy_body(const Module&, Args) {
    raise(PyExc_NotImplementedError, "addStructureStudy");
}

py::object removeStudy_body(const Module&, Args) {
    raise(PyExc_NotImplementedError, "removeStudy");
}

py::object duplicateStudy_body(const Module&, Args) {
    raise(PyExc_NotImplementedError, "duplicateStudy");
}

}  // namespace

const Function api::addStudy{
    "addStudy", {"projectDirectory", "studyName", "screenWidth", "screenheight", "module"}, Guard::none, addStudy_body,
    "addStudy(projectDirectory, studyName, screenWidth, screenheight, module)\n\n"};

const Function api::addPipingStudy{
    "addPipingStudy", {"projectDirectory", "studyName", "screenWidth", "screenheight"}, Guard::setup, addPipingStudy_body,
    "addPipingStudy(projectDirectory, studyName, screenWidth, screenheight)\n\n"};

const Function api::addStructureStudy{
    "addStructureStudy", {"projectDirectory", "studyName", "screenWidth", "screenheight"}, Guard::setup, addStructureStudy_body,
    "addStructureStudy(projectDirectory, studyName, screenWidth, screenheight)\n\n"};

const Function api::removeStudy{
    "removeStudy", {"projectDirectory", "studyName"}, Guard::setup, removeStudy_body,
    "removeStudy(projectDirectory, studyName)\n\n"};

const Function api::duplicateStudy{
    "duplicateStudy", {"projectDirectory", "studyName", "copyStudyName"}, Guard::setup, duplicateStudy_body,
    "duplicateStudy(projectDirectory, studyName, copyStudyName)\n\n"};

}  // namespace vc
