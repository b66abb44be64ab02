#include "frame/errors.hpp"

#include "host/unwinding.hpp"

#include <new>

namespace vc {

PythonError::PythonError() noexcept {
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    if (type == nullptr) {  // a call failed without saying why
        PyErr_SetString(PyExc_SystemError, "error return without exception set");
        PyErr_Fetch(&type, &value, &traceback);
    }
    PyErr_NormalizeException(&type, &value, &traceback);
    if (traceback != nullptr && PyException_SetTraceback(value, traceback) < 0) PyErr_Clear();
    Py_XDECREF(type);
    Py_XDECREF(traceback);
    value_ = value;
}

PythonError::~PythonError() {
    // Releasing the exception may run a finalizer: a pending error stays as it was.
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    Py_DECREF(value_);
    PyErr_Restore(type, value, traceback);
}

void PythonError::restore() const noexcept {
    PyErr_Restore(Py_NewRef(reinterpret_cast<PyObject*>(Py_TYPE(value_))), Py_NewRef(value_),
                  PyException_GetTraceback(value_));
}

void set_error_from_current_exception() {
    try {
        throw;
    } catch (PythonError& error) {
        error.restore();
    } catch (py::builtin_exception& error) {
        error.set_error();
    } catch (std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (std::exception& error) {
        PyErr_SetString(PyExc_RuntimeError, error.what());
    } catch (...) {
        rethrow_forced_unwind();
        PyErr_SetString(PyExc_RuntimeError, "unknown C++ exception");
    }
}

}  // namespace vc
