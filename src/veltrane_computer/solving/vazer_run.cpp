// _VazerSolve: the Vazer run, normally the body of the solver worker thread.
// It works inside a single-threaded COM apartment, with the culture chosen at
// setup, and leaves its outcome in _Solution_.
#include "functions.hpp"
#include "host/bridge.hpp"
#include "host/names.hpp"

namespace vc {
namespace {

Name CoInitialize{"CoInitialize"};
Name CoUninitialize{"CoUninitialize"};
Name VazerSolver{"VazerSolver"};
Name BuildAnalysisModel{"BuildAnalysisModel"};

// The culture applies to the running thread only, so a worker thread needs
// its own setting.
void set_thread_culture(const Module& module) {
    call_method(global(module, names::clr), names::AddReference, names::mscorlib);
    py::object Thread = import_from(module, names::threading_namespace, names::Thread);
    set_attr(attr(Thread, names::CurrentThread), names::CurrentCulture, global(module, names::CultureInfo_));
    set_attr(attr(Thread, names::CurrentThread), names::CurrentUICulture, global(module, names::CultureInfo_));
}

void run(const Module& module, py::handle tessel, py::handle tesselFilename, py::handle directory) {
    py::object thffile = call_global(module, names::find_first_file, directory, text(".thf"));
    set_thread_culture(module);

    py::object solver_class = import_from(module, names::vazer_namespace, VazerSolver);
    py::object solution_class = import_from(module, names::core_namespace, names::Solution);

    py::handle keepDistantModels = Py_False;
    py::object solver =
        call(solver_class, global(module, names::Vazer_), tessel, tesselFilename, thffile, Py_False);
    set_attr(solver, names::IgnoreWarnings, Py_True);

    py::object zero = steal(PyLong_FromLong(0));
    py::object built = call_method(solver, BuildAnalysisModel, keepDistantModels);
    if (truth(steal(PyObject_RichCompare(built.ptr(), zero.ptr(), Py_LT)))) {
        call_method(solver, names::Dispose);
    } else if (equals(call_method(solver, names::Run), zero)) {
        // The solution owns the solver from here on.
        set_global(module, names::Solution_, call(solution_class, Py_None, solver));
    } else {
        call_method(solver, names::Dispose);
    }
}

py::object VazerSolve_body(const Module& module, Args args) {
    py::handle tessel = args[0];
    py::handle tesselFilename = args[1];
    py::handle directory = args[2];

    set_global(module, names::Solution_, Py_None);
    call_method(global(module, names::pythoncom), CoInitialize);
    try_finally([&] { run(module, tessel, tesselFilename, directory); },
                [&] { call_method(global(module, names::pythoncom), CoUninitialize); });
    return py::none();
}

}  // namespace

const Function api::VazerSolve{
    "_VazerSolve", {"tessel", "tesselFilename", "directory"}, Guard::none, VazerSolve_body,
    "_VazerSolve(tessel, tesselFilename, directory)\n"
    "\n"
    "Private method.\n"
    "Solve a tessel with Vazer solver in directory.\n"
    "Global _Vazer_ path exists.\n"
    "Fill the global variable _Solution_ "};

}  // namespace vc
