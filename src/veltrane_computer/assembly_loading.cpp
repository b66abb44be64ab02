// load_dll and load_dll_c: a library of the installation loaded once per
// process and per name, looked for in Extensions first, then in the
// installation directory; both share the list of names in _dlls_.
#include "functions.hpp"
#include "host/bridge.hpp"
#include "host/names.hpp"

namespace vc {
namespace {

Name CDLL{"CDLL"};

enum class Loader { assembly, native };

// `dllname in dlls`. For a list, each element is compared as the list's own
// membership test does; a str element against a str name is decided by
// their text, which is what str's == does, and runs no code. `dlls` is
// borrowed: it is held as soon as a comparison could run code.
bool contains(PyObject* dlls, PyObject* dllname) {
    py::object held;
    if (!PyList_CheckExact(dlls)) {
        held = borrow(dlls);
        int found = PySequence_Contains(dlls, dllname);
        if (found < 0) throw_error();
        return found != 0;
    }
    const bool text = PyUnicode_CheckExact(dllname);
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(dlls); ++i) {
        PyObject* item = PyList_GET_ITEM(dlls, i);
        if (item == dllname) return true;
        if (text && PyUnicode_CheckExact(item)) {
            if (same_text(item, dllname)) return true;
            continue;
        }
        if (!held) held = borrow(dlls);
        py::object element = borrow(item);
        int equal = PyObject_RichCompareBool(item, dllname, Py_EQ);
        if (equal < 0) throw_error();
        if (equal) return true;
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
        call_method(global(module, names::clr), names::AddReference, dllpath);
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
