// What differs between the interpreters the module is built for (CPython
// 3.11 to 3.15), in one place: which interpreters may create the module,
// what it declares about the GIL, and how the frame learns that the module
// namespace or its builtins changed since a global was last looked up.
#pragma once

#include <Python.h>

#if PY_VERSION_HEX < 0x030B0000 || PY_VERSION_HEX >= 0x03100000
#error "veltrane_core is built for CPython 3.11 to 3.15"
#endif

#include <cstdint>

namespace vc::compat {

// The module refuses every interpreter but the first at its creation, before
// it touches any state, with its own ImportError. From 3.12 an interpreter
// with a GIL of its own would refuse the import itself, with its own message,
// unless the module says that it may be created there. (3.11 has no such
// slot: there the entry ends the list of slots.)
#if PY_VERSION_HEX >= 0x030C0000
inline const PyModuleDef_Slot interpreter_slot{Py_mod_multiple_interpreters, Py_MOD_PER_INTERPRETER_GIL_SUPPORTED};
#else
inline const PyModuleDef_Slot interpreter_slot{0, nullptr};
#endif

// The core's state relies on the GIL. From 3.13 the module says so: a
// free-threaded interpreter then enables the GIL to load it, with a
// RuntimeWarning, rather than run the core without it. (Before 3.13 there
// is no such slot, and the entry ends the list; the slot above comes first,
// so that 3.12 keeps it.)
#if PY_VERSION_HEX >= 0x030D0000
inline const PyModuleDef_Slot gil_slot{Py_mod_gil, Py_MOD_GIL_USED};
#else
inline const PyModuleDef_Slot gil_slot{0, nullptr};
#endif

// The two dictionaries a global is looked up in: the module namespace, then
// the module's own builtins. Both are exact dicts that live for the process.
struct Namespaces {
    PyObject* globals = nullptr;
    PyObject* builtins = nullptr;
};
inline Namespaces watched;

#if PY_VERSION_HEX < 0x030C0000

// 3.11: a dict's version tag changes with every change of its content and
// only ever grows, so the sum of the two tags grows whenever either changes.
inline std::uint64_t version_tag(PyObject* dict) noexcept {
    return reinterpret_cast<PyDictObject*>(dict)->ma_version_tag;
}
inline int watch_namespaces(PyObject* globals, PyObject* builtins) noexcept {
    watched = {globals, builtins};
    return 0;
}
inline std::uint64_t namespace_stamp(PyObject* globals) noexcept {
    return globals == watched.globals ? version_tag(globals) + version_tag(watched.builtins) : 0;
}

#else

// 3.12 to 3.15: a dictionary watcher counts the changes of both dicts.
inline std::uint64_t namespace_changes = 1;
inline int count_change(PyDict_WatchEvent, PyObject*, PyObject*, PyObject*) noexcept {
    ++namespace_changes;
    return 0;
}
// One watcher for the process, added on the first watch. A module that
// cannot have one (the interpreter's few are taken) looks every global up
// afresh.
inline int watch_namespaces(PyObject* globals, PyObject* builtins) noexcept {
    static int watcher = -1;
    if (watcher < 0) watcher = PyDict_AddWatcher(count_change);
    if (watcher < 0) {
        PyErr_Clear();
        return 0;
    }
    if (PyDict_Watch(watcher, globals) < 0 || PyDict_Watch(watcher, builtins) < 0) return -1;
    watched = {globals, builtins};
    ++namespace_changes;  // nothing looked up in dictionaries watched before holds
    return 0;
}
inline std::uint64_t namespace_stamp(PyObject* globals) noexcept {
    return globals == watched.globals ? namespace_changes : 0;
}

#endif

}  // namespace vc::compat
