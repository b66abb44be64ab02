// How errors cross between the interpreter and C++: the interpreter's
// pending error travels through C++ as a PythonError, and whatever C++
// exception reaches a way back into the interpreter becomes its error there.
#pragma once

#include <Python.h>

#include <exception>

// pybind11's object handles only: its whole header costs each translation
// unit about ten times as much to compile as all of the module's own code.
#include <pybind11/pytypes.h>

namespace vc {

namespace py = pybind11;

// The interpreter's pending error, taken off the thread when one is made
// and set again by restore(). The GIL is held wherever one is made, copied
// or destroyed.
class PythonError final : public std::exception {
public:
    PythonError() noexcept;
    PythonError(const PythonError& other) noexcept : value_(Py_NewRef(other.value_)) {}
    PythonError& operator=(const PythonError&) = delete;
    ~PythonError() override;

    const char* what() const noexcept override { return "the interpreter's error"; }
    // The exception, holding its traceback.
    py::handle value() const noexcept { return value_; }
    // True when the exception is an instance of `type`, or of one of a tuple of types.
    bool matches(PyObject* type) const noexcept { return PyErr_GivenExceptionMatches(value_, type) != 0; }
    // Makes the exception the interpreter's pending error again.
    void restore() const noexcept;

private:
    PyObject* value_;
};

// Sets the interpreter's error from the C++ exception being handled; called
// inside `catch (...)` wherever the interpreter calls into the module.
void set_error_from_current_exception();

}  // namespace vc
