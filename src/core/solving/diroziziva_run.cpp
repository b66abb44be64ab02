// _DiroZizivaSolve: the DiroZiziva run, normally the body of the solver
// worker thread. It works inside a single-threaded COM apartment and leaves
// its outcome in _Solution_.
#include "frame/functions.hpp"
#include "host/bridge.hpp"
#include "host/names.hpp"
#include "models/input_files.hpp"
#include "solving/com_apartment.hpp"

namespace vc {
namespace {

Name DiroZizivaSolver{"DiroZizivaSolver"};
Name GetAnalysisModel{"GetAnalysisModel"};

void solve_with_diroziziva(const Module& module, py::handle tessel, py::handle tesselFilename, py::handle directory) {
    py::object frefile = input_file_in(module, directory, tesselFilename);
    if (!path_exists(module, frefile)) {
        // The writer puts the file beside the model under the same naming
        // rule; in the solve flow that is `directory` itself.
        call_global(module, names::writeFreFile, tessel, tesselFilename);
    }
    py::object thffile = call_global(module, names::find_first_file, directory, text(".thf"));

    py::object solver_class = import_from(module, names::diroziziva_namespace, DiroZizivaSolver);
    py::object solution_class = import_from(module, names::core_namespace, names::Solution);

    py::object solver = call(solver_class, global(module, names::DiroZiziva_), tessel, frefile, thffile);
    run_solver(module, solution_class, solver, [&] {
        set_attr(solver, names::IgnoreWarnings, Py_True);
        py::object zero = steal(PyLong_FromLong(0));
        // A run that produced no analysis model has nothing to hand over.
        return equals(call_method(solver, names::Run), zero) &&
               not_equals(call_method(solver, GetAnalysisModel), Py_None);
    });
}

py::object DiroZizivaSolve_body(const Module& module, Args args) {
    return run_in_com_apartment(module, [&] { solve_with_diroziziva(module, args[0], args[1], args[2]); });
}

}  // namespace

// clang-format off
const Function api::DiroZizivaSolve{
    "_DiroZizivaSolve", {"tessel", "tesselFilename", "directory"}, Guard::none, DiroZizivaSolve_body,
    "_DiroZizivaSolve(tessel, tesselFilename, directory)\n"
    "\n"
    "Private method.\n"
    "Solve a tessel with DiroZiziva solver in directory.\n"
    "Global _DiroZiziva_ path exists.\n"
    "Fill the global variable _Solution_ "};
// clang-format on

}  // namespace vc
