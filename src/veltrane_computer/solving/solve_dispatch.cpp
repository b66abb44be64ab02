#include "host/bridge.hpp"
#include "host/names.hpp"
#include "functions.hpp"

namespace vc {
namespace {

py::object solve_body(const Module&, Args) {
    raise(PyExc_NotImplementedError, "solve");
}

py::object solvePipingModel_body(const Module&, Args) {
    raise(PyExc_NotImplementedError, "solvePipingModel");
}

py::object solveStructureModel_body(const Module&, Args) {
    raise(PyExc_NotImplementedError, "solveStructureModel");
}

}  // namespace

const Function api::solve{
    "solve", {"filename", "solvername", "sandbox"}, Guard::setup, solve_body,
    "solve(filename, solvername, sandbox)\n\n"};

const Function api::solvePipingModel{
    "solvePipingModel", {"tessel", "tesselFilename", "solvername", "directory"}, Guard::setup, solvePipingModel_body,
    "solvePipingModel(tessel, tesselFilename, solvername, directory)\n\n"};

const Function api::solveStructureModel{
    "solveStructureModel", {"tessel", "tesselFilename", "directory"}, Guard::setup, solveStructureModel_body,
    "solveStructureModel(tessel, tesselFilename, directory)\n\n"};

}  // namespace vc
