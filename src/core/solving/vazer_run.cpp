// _VazerSolve: the Vazer run, normally the body of the solver worker thread.
// It works inside a single-threaded COM apartment, with the culture chosen at
// setup, and leaves its outcome in _Solution_.
#include "frame/functions.hpp"
#include "host/bridge.hpp"
#include "host/culture.hpp"
#include "host/host_paths.hpp"
#include "host/names.hpp"
#include "solving/com_apartment.hpp"

namespace vc {
namespace {

Name VazerSolver{"VazerSolver"};
Name BuildAnalysisModel{"BuildAnalysisModel"};

void solve_with_vazer(const Module& module, py::handle tessel, py::handle tesselFilename, py::handle directory) {
    py::object thffile = call_global(module, names::find_first_file, directory, text(".thf"));
    call_method(global(module, names::clr), names::AddReference, names::mscorlib);
    apply_culture_to_current_thread(module);

    py::object solver_class = import_from(module, names::vazer_namespace, VazerSolver);
    py::object solution_class = import_from(module, names::core_namespace, names::Solution);

    py::handle keepDistantModels = Py_False;
    py::object solver =
        call(solver_class, global(module, names::Vazer_), tessel, host_path(module, tesselFilename), thffile, Py_False);
    run_solver(module, solution_class, solver, [&] {
        set_attr(solver, names::IgnoreWarnings, Py_True);
        py::object zero = steal(PyLong_FromLong(0));
        py::object built = call_method(solver, BuildAnalysisModel, keepDistantModels);
        // A failed build is never run.
        return !truth(steal(PyObject_RichCompare(built.ptr(), zero.ptr(), Py_LT))) &&
               equals(call_method(solver, names::Run), zero);
    });
}

py::object VazerSolve_body(const Module& module, Args args) {
    return run_in_com_apartment(module, [&] { solve_with_vazer(module, args[0], args[1], args[2]); });
}

}  // namespace

// clang-format off
const Function api::VazerSolve{
    "_VazerSolve", {"tessel", "tesselFilename", "directory"}, Guard::none, VazerSolve_body,
    "_VazerSolve(tessel, tesselFilename, directory)\n"
    "\n"
    "Private method.\n"
    "Solve a tessel with Vazer solver in directory.\n"
    "Global _Vazer_ path exists.\n"
    "Fill the global variable _Solution_ "};
// clang-format on

}  // namespace vc
