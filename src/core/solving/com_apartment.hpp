// What both solver runs share: the run happens inside a single-threaded COM
// apartment of the running thread, and reports only through _Solution_.
#pragma once

#include "host/bridge.hpp"
#include "host/names.hpp"
#include "solving/worker_runs.hpp"

namespace vc {

inline Name CoInitialize{"CoInitialize"};
inline Name CoUninitialize{"CoUninitialize"};

// _Solution_ = None, then `run` between CoInitialize and CoUninitialize; the
// apartment is left also when the run raises (a failing CoInitialize skips it).
template <class Run>
py::object run_in_com_apartment(const Module& module, Run&& run) {
    try_finally(
        [&] {
            set_global(module, names::Solution_, Py_None);
            call_method(global(module, names::pythoncom), CoInitialize);
            try_finally(run, [&] { call_method(global(module, names::pythoncom), CoUninitialize); });
        },
        worker_body_done);
    return py::none();
}

// A run from the solver just built: `steps` set it up and run it and tell
// whether it solved. A solved run's solver goes to a new solution, which owns
// it from here on and is published as _Solution_; any other is disposed of,
// also when a step or the solution's constructor raises.
template <class Steps>
void run_solver(const Module& module, py::handle solution_class, py::handle solver, Steps&& steps) {
    py::object solution;
    on_error(
        [&] {
            if (steps()) solution = call(solution_class, Py_None, solver);
        },
        [&] { call_method(solver, names::Dispose); });
    if (solution) {
        publish_solution(module, solution);
    } else {
        call_method(solver, names::Dispose);
    }
}

}  // namespace vc
