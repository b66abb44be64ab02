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
// their text, which is what str's == does.
bool contains(py::handle dlls, py::handle dllname) {
    PyObject* list = dlls.ptr();
    PyObject* name = dllname.ptr();
    if (!PyList_CheckExact(list)) {
        int found = PySequence_Contains(list, name);
        if (found < 0) throw_error();
        return found != 0;
    }
    const bool text = PyUnicode_CheckExact(name);
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list); ++i) {
        PyObject* item = PyList_GET_ITEM(list, i);
        if (item == name) return true;
        if (text && PyUnicode_CheckExact(item)) {
            if (same_text(item, name)) return true;
            continue;
        }
        Py_INCREF(item);
        int equal = PyObject_RichCompareBool(item, name, Py_EQ);
        Py_DECREF(item);
        if (equal < 0) throw_error();
        if (equal) return true;
    }
    return false;
}

py::object load_library(const Module& module, py::handle dllname, Loader loader) {
    if (contains(global(module, names::dlls), dllname)) return py::none();

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

py::object load_dll_body(const Module& module, Args args) {
    return load_library(module, args[0], Loader::assembly);
}

py::object load_dll_c_body(const Module& module, Args args) {
    return load_library(module, args[0], Loader::native);
}

}  // namespace

const Function api::load_dll{
    "load_dll", {"dllname"}, Guard::setup, load_dll_body,
    "load_dll(dllname)\n\nLoad a .NET DLL from assembly name."};

const Function api::load_dll_c{
    "load_dll_c", {"dllname"}, Guard::setup, load_dll_c_body,
    "load_dll_c(dllname)\n\nLoad a C++ DLL from name.\nFor internal use only."};

}  // namespace vc
