#include "host/bridge.hpp"

#include "host/names.hpp"

#include <cstring>
#include <vector>

namespace vc {

Name print_name{"print"};

PyObject* Name::create() const noexcept {
    PyObject* object = PyUnicode_InternFromString(text_);
    if (object == nullptr) return nullptr;
    if (PyObject_Hash(object) == -1) {  // computed once here, compared by same_text
        Py_DECREF(object);
        return nullptr;
    }
    object_ = object;
    return object;
}

bool same_text_slowly(PyObject* a, PyObject* b) {
    if (PyUnicode_IS_READY(a) && PyUnicode_IS_READY(b)) {
        const Py_ssize_t length = PyUnicode_GET_LENGTH(a);
        const int kind = PyUnicode_KIND(a);
        return length == PyUnicode_GET_LENGTH(b) && kind == PyUnicode_KIND(b) &&
               std::memcmp(PyUnicode_DATA(a), PyUnicode_DATA(b), static_cast<size_t>(length) * kind) == 0;
    }
    // Made by the legacy API and not made ready yet: str's == decides.
    int equal = PyObject_RichCompareBool(a, b, Py_EQ);
    if (equal < 0) throw_error();
    return equal != 0;
}

namespace {
PyObject* module_builtins = nullptr;  // the builtins of the module namespace in use
}  // namespace

int use_namespaces(PyObject* globals, PyObject* builtins) noexcept {
    Py_XSETREF(module_builtins, Py_NewRef(builtins));
    return compat::watch_namespaces(globals, builtins);
}

PyObject* lookup_global_slowly(const Module& module, const Name& name, std::uint64_t stamp) noexcept {
    PyObject* key = name.object_ != nullptr ? name.object_ : name.create();
    if (key == nullptr) return nullptr;
    PyObject* value = PyDict_GetItemWithError(module.dict, key);
    if (value == nullptr) {
        if (PyErr_Occurred()) return nullptr;
        value = PyDict_GetItemWithError(module_builtins, key);
        if (value == nullptr) {
            if (!PyErr_Occurred()) PyErr_Format(PyExc_NameError, "name '%U' is not defined", key);
            return nullptr;
        }
    }
    // A lookup that ran code changing a dictionary leaves a stamp that no
    // longer matches: the next lookup looks again.
    if (stamp != 0) {
        name.stamp_ = stamp;
        name.found_ = value;
    }
    return value;
}

void set_global(const Module& module, const Name& name, py::handle value) {
    if (PyDict_SetItem(module.dict, name.get(), value.ptr()) < 0) throw_error();
}

py::object call_with_keywords(py::handle callable, std::initializer_list<py::handle> positional,
                              std::initializer_list<std::pair<const Name*, py::handle>> keywords) {
    std::vector<PyObject*> argv;
    argv.reserve(positional.size() + keywords.size());
    for (py::handle h : positional) argv.push_back(h.ptr());
    py::object kwnames = steal(PyTuple_New(static_cast<Py_ssize_t>(keywords.size())));
    Py_ssize_t i = 0;
    for (const auto& [name, value] : keywords) {
        PyObject* key = name->get();
        Py_INCREF(key);
        PyTuple_SET_ITEM(kwnames.ptr(), i++, key);
        argv.push_back(value.ptr());
    }
    return steal(
        PyObject_Vectorcall(callable.ptr(), argv.data(), static_cast<size_t>(positional.size()), kwnames.ptr()));
}

py::object message(const char* prefix, py::handle value, const char* suffix) {
    return concat(concat(text(prefix), as_text(value)), text(suffix));
}

py::object os_path(const Module& module) {
    return attr(global(module, names::os), names::path);
}

bool path_exists(const Module& module, py::handle path) {
    return truth(os_path_call(module, names::exists, path));
}

py::object path_join(const Module& module, py::handle a, py::handle b) {
    return os_path_call(module, names::join, a, b);
}

py::object with_extension(const Module& module, py::handle path, py::handle extension) {
    py::object parts = os_path_call(module, names::splitext, path);
    return add(steal(PySequence_GetItem(parts.ptr(), 0)), extension);
}

py::object file_name_with_extension(const Module& module, py::handle path, py::handle extension) {
    return with_extension(module, os_path_call(module, names::basename, path), extension);
}

py::object import_module(const Module& module, const Name& name) {
    return steal(PyImport_ImportModuleLevelObject(name.get(), module.dict, nullptr, nullptr, 0));
}

py::object import_from(const Module& module, const Name& namespace_name, const Name& name) {
    py::object fromlist = steal(PyTuple_Pack(1, name.get()));
    py::object imported =
        steal(PyImport_ImportModuleLevelObject(namespace_name.get(), module.dict, nullptr, fromlist.ptr(), 0));
    PyObject* value = PyObject_GetAttr(imported.ptr(), name.get());
    if (value == nullptr) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw_error();
        PyErr_Clear();
        PyErr_Format(PyExc_ImportError, "cannot import name %R", name.get());
        throw_error();
    }
    return steal(value);
}

void load_dll(const Module& module, const Name& dllname) {
    call_global(module, names::load_dll, dllname);
}

void raise(PyObject* type, py::handle message) {
    py::object error = call(type, message);
    PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(error.ptr())), error.ptr());
    throw_error();
}

void raise(PyObject* type, const char* message) {
    raise(type, text(message));
}

}  // namespace vc
