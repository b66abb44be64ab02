#include "frame/callback.hpp"

#include <memory>
#include <utility>

namespace vc {
namespace {

constexpr const char* kCapsuleName = "veltrane_core.callback";

// The body and the method definition of one callable, held by a capsule that
// is the callable's `self`: the definition lives as long as the callable.
struct Callback {
    PyMethodDef definition{};
    Py_ssize_t arity = 0;
    std::unique_ptr<CallbackBody> body;
};

PyObject* call_callback(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
    auto* callback = static_cast<Callback*>(PyCapsule_GetPointer(self, kCapsuleName));
    if (callback == nullptr) return nullptr;
    if (nargs != callback->arity) {
        PyErr_Format(PyExc_TypeError, "%.200s() takes %zd positional argument%s (%zd given)",
                     callback->definition.ml_name, callback->arity, callback->arity == 1 ? "" : "s", nargs);
        return nullptr;
    }
    try {
        return callback->body->run(args).release().ptr();
    } catch (...) {
        set_error_from_current_exception();
        return nullptr;
    }
}

void delete_callback(PyObject* capsule) {
    delete static_cast<Callback*>(PyCapsule_GetPointer(capsule, kCapsuleName));
}

}  // namespace

py::object new_callback(const char* name, Py_ssize_t arity, std::unique_ptr<CallbackBody> body) {
    auto callback = std::make_unique<Callback>();
    callback->definition.ml_name = name;
    callback->definition.ml_meth = reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&call_callback));
    callback->definition.ml_flags = METH_FASTCALL;
    callback->arity = arity;
    callback->body = std::move(body);
    PyObject* capsule = PyCapsule_New(callback.get(), kCapsuleName, delete_callback);
    if (capsule == nullptr) throw PythonError();
    Callback* held = callback.release();  // the capsule's from here on
    PyObject* function = PyCFunction_New(&held->definition, capsule);
    Py_DECREF(capsule);
    if (function == nullptr) throw PythonError();
    return py::reinterpret_steal<py::object>(function);
}

}  // namespace vc
