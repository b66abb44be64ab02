// load_dll and load_dll_c: a library of the installation loaded once per
// process and per name, looked for in Extensions first, then in the
// installation directory; both share the list of names in _dlls_.
#include "frame/functions.hpp"
#include "host/bridge.hpp"
#include "host/names.hpp"

namespace vc {
namespace {

Name CDLL{"CDLL"};

enum class Loader { assembly, native };

// `dllname in dlls`. For a list, each element is compared as the list's own
// membership test does; a str element against a str name is decided by
// their text, which is what str's == does, and runs no code.
VC_NOINLINE bool contains_generally(PyObject* dlls, PyObject* dllname) {
    py::object held = borrow(dlls);  // a comparison may run code that rebinds _dlls_
    if (!PyList_CheckExact(dlls)) {
        int found = PySequence_Contains(dlls, dllname);
        if (found < 0) throw_error();
        return found != 0;
    }
    const bool text = PyUnicode_CheckExact(dllname);
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(dlls); ++i) {
        py::object item = borrow(PyList_GET_ITEM(dlls, i));
        if (item.ptr() == dllname) return true;
        if (text && PyUnicode_CheckExact(item.ptr())) {
            if (same_text(item.ptr(), dllname)) return true;
            continue;
        }
        int equal = PyObject_RichCompareBool(item.ptr(), dllname, Py_EQ);
        if (equal < 0) throw_error();
        if (equal) return true;
    }
    return false;
}

// The usual case, answered without running any code: an exact list of
// ASCII strs and an ASCII name. Anything else is left to the general test,
// from the start (nothing has been called on the way). `dlls` is borrowed.
inline bool contains(PyObject* dlls, PyObject* dllname) {
    if (!PyList_CheckExact(dlls) || !PyUnicode_CheckExact(dllname) || !PyUnicode_IS_COMPACT_ASCII(dllname)) {
        return contains_generally(dlls, dllname);
    }
    const Py_ssize_t length = reinterpret_cast<PyASCIIObject*>(dllname)->length;
    const void* text = reinterpret_cast<PyASCIIObject*>(dllname) + 1;
    const Py_ssize_t count = PyList_GET_SIZE(dlls);
    for (Py_ssize_t i = 0; i < count; ++i) {
        PyObject* item = PyList_GET_ITEM(dlls, i);
        if (item == dllname) return true;
        if (!PyUnicode_CheckExact(item) || !PyUnicode_IS_COMPACT(item)) return contains_generally(dlls, dllname);
        if (!PyUnicode_IS_ASCII(item)) continue;  // other text than any ASCII name
        if (reinterpret_cast<PyASCIIObject*>(item)->length == length &&
            same_bytes(reinterpret_cast<PyASCIIObject*>(item) + 1, text, length)) {
            return true;
        }
    }
    return false;
}

// Finds the file, loads it, records and reports the name.
py::object load_new_library(const Module& module, py::handle dllname, Loader loader) {
    py::object dllpath = path_join(module, global(module, names::dllPath), dllname);
    if (!path_exists(module, dllpath)) {
        dllpath = path_join(module, global(module, names::exePath), dllname);
        if (!path_exists(module, dllpath)) {
            raise(PyExc_FileNotFoundError, message("DLL '", dllname, "' not found."));
        }
    }
    if (loader == Loader::assembly) {
        // The bridge takes a file only by its absolute path; _dlls_ keeps the name as given.
        py::object absolute = os_path_call(module, names::abspath, dllpath);
        call_method(global(module, names::clr), names::AddReference, absolute);
    } else {
        call_method(global(module, names::ctypes), CDLL, dllpath);
    }
    call_method(global(module, names::dlls), names::append, dllname);
    print(module, concat(as_text(dllname), text(" loaded")));
    return py::none();
}

// A name loaded before is the usual case: answered without a call.
inline py::object load_library(const Module& module, py::handle dllname, Loader loader) {
    PyObject* dlls = lookup_global(module, names::dlls);
    if (dlls == nullptr) throw_error();
    if (contains(dlls, dllname.ptr())) return py::none();
    return load_new_library(module, dllname, loader);
}

py::object load_dll_body(const Module& module, Args args) {
    return load_library(module, args[0], Loader::assembly);
}

py::object load_dll_c_body(const Module& module, Args args) {
    return load_library(module, args[0], Loader::native);
}

}  // namespace

// clang-format off
const Function api::load_dll{
    "load_dll", {"dllname"}, Guard::setup, load_dll_body,
    "load_dll(dllname)\n\nLoad a .NET DLL from assembly name."};

const Function api::load_dll_c{
    "load_dll_c", {"dllname"}, Guard::setup, load_dll_c_body,
    "load_dll_c(dllname)\n\nLoad a C++ DLL from name.\nFor internal use only."};
// clang-format on

}  // namespace vc
