// A Python callable running C++ code: what the module hands to the standard
// library to call back (atexit, os.register_at_fork, shutil.copytree's
// ignore). As at the entry of an exported function, no C++ exception gets
// past it into the interpreter.
#pragma once

#include "frame/frame.hpp"

#include <memory>
#include <utility>

namespace vc {

// The code a callback runs, owned by the callable (see make_callback).
class CallbackBody {
public:
    virtual ~CallbackBody() = default;
    // The call's `arity` positional arguments, borrowed for the call.
    virtual py::object run(Args args) = 0;
};

// A callable named `name` that takes exactly `arity` positional arguments
// and runs `body`.
py::object new_callback(const char* name, Py_ssize_t arity, std::unique_ptr<CallbackBody> body);

// new_callback for a function object `function(Args) -> py::object`; its
// captures live as long as the callable.
template <class F>
py::object make_callback(const char* name, Py_ssize_t arity, F function) {
    class Body final : public CallbackBody {
    public:
        explicit Body(F f) : f_(std::move(f)) {}
        py::object run(Args args) override { return f_(args); }

    private:
        F f_;
    };
    return new_callback(name, arity, std::make_unique<Body>(std::move(function)));
}

}  // namespace vc
