// The solver worker's thread as the module tracks it. A caller whose wait is
// interrupted (KeyboardInterrupt in a notebook, SystemExit from a signal
// handler) abandons the run: the worker goes on to its end, but what it
// produces never becomes _Solution_. The next solve or disposeSolution waits
// for it and disposes of its solution; so does the interpreter's exit, rather
// than tear the worker down inside a host call.
#pragma once

#include "frame/frame.hpp"

namespace vc {

// `worker(*arguments)` on a daemon thread of its own, waited for without a
// time limit (in short slices, so that Ctrl-C is seen however it is
// delivered), once any abandoned run has ended.
void run_worker_thread(const Module& module, py::handle worker, py::handle arguments);

// Waits for the abandoned run, if there is one, and disposes of the solution
// it produced.
void wait_for_abandoned_run(const Module& module);

// The last step of a worker body: an abandoned worker stops being recognised
// by its thread's identity before the identity can go to another thread.
void worker_body_done();

// _Solution_ = solution; an abandoned worker's solution is kept aside instead,
// for wait_for_abandoned_run to dispose of.
void publish_solution(const Module& module, py::handle solution);

// In a child made by fork, the solution, the sandbox and an abandoned run
// belong to the parent: the child forgets them, disposing and deleting
// nothing. Registered once, where the platform forks.
void forget_parent_state_after_fork(const Module& module);

}  // namespace vc
