#include "host/bridge.hpp"
#include "host/names.hpp"
#include "functions.hpp"

namespace vc {
namespace {

py::object addProjectFolder_body(const Module&, Args) {
    raise(PyExc_NotImplementedError, "addProjectFolder");
}

py::object removeProjectFolder_body(const Module&, Args) {
    raise(PyExc_NotImplementedError, "removeProjectFolder");
}

}  // namespace

const Function api::addProjectFolder{
    "addProjectFolder", {"directory", "folderName"}, Guard::setup, addProjectFolder_body,
    "addProjectFolder(directory, folderName)\n\n"};

const Function api::removeProjectFolder{
    "removeProjectFolder", {"folderDirectory"}, Guard::setup, removeProjectFolder_body,
    "removeProjectFolder(folderDirectory)\n\n"};

}  // namespace vc
