// What both solver runs share: the run happens inside a single-threaded COM
// apartment of the running thread, and reports only through _Solution_.
#pragma once

#include "host/bridge.hpp"
#include "host/names.hpp"

namespace vc {

inline Name CoInitialize{"CoInitialize"};
inline Name CoUninitialize{"CoUninitialize"};

// _Solution_ = None, then `run` between CoInitialize and CoUninitialize; the
// apartment is left also when the run raises (a failing CoInitialize skips it).
template <class Run>
py::object run_in_com_apartment(const Module& module, Run&& run) {
    set_global(module, names::Solution_, Py_None);
    call_method(global(module, names::pythoncom), CoInitialize);
    try_finally(run, [&] { call_method(global(module, names::pythoncom), CoUninitialize); });
    return py::none();
}

// The end of a run: a solved run's solver goes to a new solution, which owns
// it from here on and becomes _Solution_; any other is disposed of.
inline void hand_over_solver(const Module& module, py::handle solution_class, py::handle solver, bool solved) {
    if (solved) {
        set_global(module, names::Solution_, call(solution_class, Py_None, solver));
    } else {
        call_method(solver, names::Dispose);
    }
}

}  // namespace vc
