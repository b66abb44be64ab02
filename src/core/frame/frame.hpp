// The frame every exported function lives in: what a function body receives,
// and the row that describes a function to the module (name, parameters,
// guard, docstring).
#pragma once

#include "frame/errors.hpp"

#include <array>
#include <cstddef>

namespace vc {

// The module a call runs in. Both pointers are borrowed for the call.
struct Module {
    PyObject* object;
    PyObject* dict;
};

// The arguments of a call, bound to the parameters in their declared order.
// The frame holds a strong reference to each for the whole call.
using Args = PyObject* const*;

// A function body states the function's own steps; argument binding, the
// setup guard, error conversion and the traceback frame are the frame's.
// It returns the result, or throws PythonError with the error set.
using Body = py::object (*)(const Module& module, Args args);

enum class Guard : bool { none = false, setup = true };

inline constexpr std::size_t kMaxParameters = 6;

struct Function {
    const char* name;
    std::array<const char*, kMaxParameters> parameters;  // unused slots are nullptr
    Guard guard;
    Body body;
    const char* doc;
};

}  // namespace vc
