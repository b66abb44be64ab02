// disposeSolution: releases the current solution and deletes the sandbox
// directory left by the last sandbox solve, once a run whose caller was
// interrupted has ended and its solution is disposed of.
#include "frame/functions.hpp"
#include "host/bridge.hpp"
#include "host/names.hpp"
#include "solving/worker_runs.hpp"

namespace vc {
namespace {

py::object disposeSolution_body(const Module& module, Args) {
    wait_for_abandoned_run(module);
    if (not_equals(global(module, names::Solution_), Py_None)) {
        // The reference is dropped even when Dispose fails, so that a broken
        // solution never blocks the next solve.
        try_finally([&] { call_method(global(module, names::Solution_), names::Dispose); },
                    [&] { set_global(module, names::Solution_, Py_None); });
    }

    try {
        py::object directory = global(module, names::tempDirectory);
        if (truth(directory) && truth(os_path_call(module, names::isdir, directory))) {
            call_method(global(module, names::shutil), names::rmtree, global(module, names::tempDirectory));
        }
    } catch (PythonError& e) {
        if (!is_exception_family(e)) throw;
        vc::print(module, text("Impossible to delete temp directory :"), e.value());
    }
    return py::none();
}

}  // namespace

// clang-format off
const Function api::disposeSolution{
    "disposeSolution", {}, Guard::none, disposeSolution_body,
    "disposeSolution()\n\nClose the solution file and free the memory."};
// clang-format on

}  // namespace vc
