// The solver worker thread, the run abandoned by an interrupted caller, and
// what a forked child must forget (see worker_runs.hpp).
#include "solving/worker_runs.hpp"

#include "frame/callback.hpp"
#include "host/bridge.hpp"
#include "host/names.hpp"

namespace vc {
namespace {

Name target{"target"};
Name args_name{"args"};
Name daemon{"daemon"};
Name start{"start"};
Name enumerate{"enumerate"};
Name ident{"ident"};
Name is_alive{"is_alive"};
Name time_module{"time"};
Name sleep{"sleep"};
Name atexit_module{"atexit"};
Name register_name{"register"};
Name register_at_fork{"register_at_fork"};
Name after_in_child{"after_in_child"};

// The run whose caller stopped waiting. One at a time: no run starts before
// the abandoned one has ended. Touched with the GIL held only; the references
// are strong.
struct AbandonedRun {
    PyObject* thread = nullptr;    // its worker thread
    unsigned long worker = 0;      // that thread's identity until the worker body is done, then 0
    PyObject* solution = nullptr;  // what it produced, never made current
};
AbandonedRun abandoned;
bool exit_wait_registered = false;

bool is_abandoned_worker() {
    return abandoned.worker != 0 && abandoned.worker == PyThread_get_thread_ident();
}

// Thread.join and is_alive cannot be trusted once a join was interrupted
// (the interpreter may then take a running thread for ended); the threads
// the threading module still lists can.
bool still_running(const Module& module, py::handle thread) {
    py::object running = call_method(global(module, names::threading), enumerate);
    int listed = PySequence_Contains(running.ptr(), thread.ptr());
    if (listed < 0) throw_error();
    return listed != 0;
}

void register_exit_wait(const Module& module) {
    if (exit_wait_registered) return;
    py::object module_object = borrow(module.object);
    py::object wait_at_exit = make_callback("wait_for_abandoned_run", 0, [module_object](Args) {
        const Module at_exit = module_of(module_object);
        if (abandoned.thread != nullptr && still_running(at_exit, abandoned.thread)) {
            vc::print(at_exit, text("Waiting for the interrupted solve to end."));
        }
        wait_for_abandoned_run(at_exit);
        return py::none();
    });
    call_method(import_module(module, atexit_module), register_name, wait_at_exit);
    exit_wait_registered = true;
}

void abandon(const Module& module, py::handle sta_thread) {
    register_exit_wait(module);
    // A start interrupted before the thread ran: its identity comes as soon as it runs.
    py::object identity = attr(sta_thread, ident);
    if (equals_none(identity)) {
        py::object time = import_module(module, time_module);
        py::object pause = steal(PyFloat_FromDouble(0.001));
        while (equals_none(identity = attr(sta_thread, ident))) call_method(time, sleep, pause);
    }
    const unsigned long worker = PyLong_AsUnsignedLong(identity.ptr());
    if (worker == static_cast<unsigned long>(-1) && PyErr_Occurred()) throw_error();
    Py_XSETREF(abandoned.thread, Py_NewRef(sta_thread.ptr()));
    abandoned.worker = worker;
}

}  // namespace

void run_worker_thread(const Module& module, py::handle worker, py::handle arguments) {
    wait_for_abandoned_run(module);
    py::object sta_thread = call_with_keywords(attr(global(module, names::threading), names::Thread), {},
                                               {{&target, worker}, {&args_name, arguments}});
    set_attr(sta_thread, daemon, Py_True);
    // Waited for in slices: a signal whose handler ran on another thread (a
    // runtime that installs its own handlers may pass it on from there) wakes
    // no wait of this thread, and on Windows no signal interrupts a lock's wait, so
    // Ctrl-C is seen at the end of a slice rather than at the end of the run.
    // Thread.start waits for the thread to run: an interrupt there leaves it running as well.
    py::object slice = steal(PyFloat_FromDouble(0.05));
    try {
        call_method(sta_thread, start);
        do {
            call_method(sta_thread, names::join, slice);
        } while (truth(call_method(sta_thread, is_alive)));
    } catch (PythonError&) {
        if (still_running(module, sta_thread)) abandon(module, sta_thread);
        throw;
    }
}

void wait_for_abandoned_run(const Module& module) {
    if (abandoned.thread == nullptr) return;
    py::object thread = borrow(abandoned.thread);
    if (still_running(module, thread)) {
        py::object time = import_module(module, time_module);
        py::object pause = steal(PyFloat_FromDouble(0.02));
        while (still_running(module, thread)) call_method(time, sleep, pause);
    }
    if (abandoned.thread != thread.ptr()) return;  // another caller waited for it meanwhile
    py::object solution = py::reinterpret_steal<py::object>(abandoned.solution);
    abandoned = AbandonedRun{};
    Py_DECREF(thread.ptr());  // the reference the state held
    if (solution) call_method(solution, names::Dispose);
}

void worker_body_done() {
    if (is_abandoned_worker()) abandoned.worker = 0;
}

void publish_solution(const Module& module, py::handle solution) {
    if (is_abandoned_worker()) {
        Py_XSETREF(abandoned.solution, Py_NewRef(solution.ptr()));
        return;
    }
    set_global(module, names::Solution_, solution);
}

void forget_parent_state_after_fork(const Module& module) {
    py::object os = global(module, names::os);
    if (!PyObject_HasAttr(os.ptr(), register_at_fork.get())) return;  // no fork here
    py::object module_object = borrow(module.object);
    py::object forget = make_callback("forget_parent_state", 0, [module_object](Args) {
        const Module child = module_of(module_object);
        // The parent's objects are held for the child's life rather than
        // released: no finalizer of theirs may run here.
        Py_XINCREF(lookup_global(child, names::Solution_));
        PyErr_Clear();
        abandoned = AbandonedRun{};
        set_global(child, names::Solution_, Py_None);
        set_global(child, names::tempDirectory, Py_None);
        return py::none();
    });
    call_with_keywords(attr(os, register_at_fork), {}, {{&after_in_child, forget}});
}

}  // namespace vc
