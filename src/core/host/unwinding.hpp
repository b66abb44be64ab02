// How errors travel through the module's handlers: a thread the runtime is
// ending is never stopped on its way out, errors are chained as the
// interpreter chains them, and ordinary errors of a best-effort step are let go.
#pragma once

#include "frame/frame.hpp"

// The GNU C++ runtime ends a thread (pthread_exit, which is how the
// interpreter stops a daemon thread at shutdown) by unwinding it with this
// exception; a handler that swallows it aborts the process. Runtimes without
// such an unwind (MSVC, libc++) need nothing.
#if defined(__GLIBCXX__)
#include <cxxabi.h>
#define VC_FORCED_UNWIND abi::__forced_unwind
#endif

namespace vc {

// Called first inside every `catch (...)`: lets a forced unwind go on.
inline void rethrow_forced_unwind() {
#if defined(VC_FORCED_UNWIND)
    try {
        throw;
    } catch (VC_FORCED_UNWIND&) {
        throw;
    } catch (...) {  // NOLINT(bugprone-empty-catch): any other exception is the caller's to handle
    }
#endif
}

// `raised` takes `handled` as its context, as the interpreter chains an
// exception raised while another is handled: never an exception as its own
// context, and a chain that already leads from `handled` to `raised` is cut
// there rather than closed into a loop. `handled` is borrowed.
inline void chain_context(PyObject* raised, PyObject* handled) {
    if (raised == handled) return;
    PyObject* link = handled;
    PyObject* slow = handled;  // a loop already in the chain ends the walk (Floyd)
    bool move_slow = false;
    while (PyObject* context = PyException_GetContext(link)) {
        Py_DECREF(context);  // the chain holds it
        if (context == raised) {
            PyException_SetContext(link, nullptr);
            break;
        }
        link = context;
        if (link == slow) break;
        if (move_slow) {
            slow = PyException_GetContext(slow);
            Py_DECREF(slow);
        }
        move_slow = !move_slow;
    }
    PyException_SetContext(raised, Py_NewRef(handled));
}

// Runs `step`; an error of the `Exception` family, the family an `except
// Exception` clause catches, is let go. A KeyboardInterrupt or SystemExit is not.
template <class Step>
void ignore_ordinary_errors(Step&& step) {
    try {
        step();
    } catch (PythonError& error) {
        if (!error.matches(PyExc_Exception)) throw;
    }
}

}  // namespace vc
