#include "host/bridge.hpp"
#include "host/names.hpp"
#include "functions.hpp"

namespace vc {
namespace {

py::object FindSolverPaths_body(const Module&, Args) {
    raise(PyExc_NotImplementedError, "FindSolverPaths");
}

py::object FindDataProjectPaths_body(const Module&, Args) {
    raise(PyExc_NotImplementedError, "FindDataProjectPaths");
}

}  // namespace

const Function api::FindSolverPaths{
    "FindSolverPaths", {"settings"}, Guard::none, FindSolverPaths_body,
    "FindSolverPaths(settings)\n\n"};

const Function api::FindDataProjectPaths{
    "FindDataProjectPaths", {"dataSources"}, Guard::none, FindDataProjectPaths_body,
    "FindDataProjectPaths(dataSources)\n\n"};

}  // namespace vc
