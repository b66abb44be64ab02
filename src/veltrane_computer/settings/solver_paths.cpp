// FindSolverPaths and FindDataProjectPaths: the solver paths and the data and
// projects directories taken from the parsed settings files. Any subscriptable
// object with iterable arrays works; exact dicts, lists and strings take a
// fast road that behaves the same.
#include "functions.hpp"
#include "host/bridge.hpp"

#include <cstring>

namespace vc {
namespace {

Name Families{"Families"};
Name SubFamilies{"SubFamilies"};
Name Settings{"Settings"};
Name Name_{"Name"};
Name Value{"Value"};
Name VAZER{"VAZER"};
Name DIROZIZIVA{"DIROZIZIVA"};
Name PATH{"PATH"};
Name WINDOWS_SOLVER_PATH{"WINDOWS SOLVER PATH"};
Name SOLVER_PATH{"SOLVER PATH"};
Name CurrentDatasDirectory{"CurrentDatasDirectory"};
Name CurrentProjectsDirectory{"CurrentProjectsDirectory"};

// container[key]
py::object item(py::handle container, const Name& key) {
    if (PyDict_CheckExact(container.ptr())) {
        PyObject* value = PyDict_GetItemWithError(container.ptr(), key.get());
        if (value == nullptr) {
            if (!PyErr_Occurred()) PyErr_SetObject(PyExc_KeyError, key.get());
            throw_error();
        }
        return borrow(value);
    }
    return steal(PyObject_GetItem(container.ptr(), key.get()));
}

// for element in sequence: visit(element)
template <class Visit>
void for_each(py::handle sequence, Visit&& visit) {
    if (PyList_CheckExact(sequence.ptr())) {
        // The list's length is read at each step, as its iterator does.
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(sequence.ptr()); ++i) {
            py::object element = borrow(PyList_GET_ITEM(sequence.ptr(), i));
            visit(element);
        }
        return;
    }
    py::object iterator = steal(PyObject_GetIter(sequence.ptr()));
    while (PyObject* element = PyIter_Next(iterator.ptr())) {
        visit(steal(element));
    }
    if (PyErr_Occurred()) throw_error();
}

// value == target, where target is a str
bool name_is(py::handle value, const Name& target) {
    PyObject* a = value.ptr();
    PyObject* b = target.get();
    if (a == b) return true;
    if (PyUnicode_CheckExact(a)) {
        return PyUnicode_GET_LENGTH(a) == PyUnicode_GET_LENGTH(b) && PyUnicode_KIND(a) == PyUnicode_KIND(b) &&
               std::memcmp(PyUnicode_DATA(a), PyUnicode_DATA(b),
                           static_cast<size_t>(PyUnicode_GET_LENGTH(a)) * PyUnicode_KIND(a)) == 0;
    }
    return equals(value, b);
}

// Visits every family, sub-family and setting; the last match wins.
py::object find_setting(py::handle settings, const Name& family, const Name& sub_family, const Name& setting) {
    py::object found = py::none();
    for_each(item(settings, Families), [&](py::handle famille) {
        if (!name_is(item(famille, Name_), family)) return;
        for_each(item(famille, SubFamilies), [&](py::handle sous_famille) {
            if (!name_is(item(sous_famille, Name_), sub_family)) return;
            for_each(item(sous_famille, Settings), [&](py::handle entry) {
                if (name_is(item(entry, Name_), setting)) found = item(entry, Value);
            });
        });
    });
    return found;
}

// An empty text means "not defined".
py::object none_if_empty(py::object path) {
    bool empty = PyUnicode_CheckExact(path.ptr()) ? PyUnicode_GET_LENGTH(path.ptr()) == 0
                                                  : equals(path, steal(PyUnicode_FromStringAndSize("", 0)));
    return empty ? py::none() : std::move(path);
}

py::object find_solver_paths_body(const Module&, Args args) {
    py::object vazer = find_setting(args[0], VAZER, PATH, WINDOWS_SOLVER_PATH);
    py::object diroziziva = find_setting(args[0], DIROZIZIVA, PATH, SOLVER_PATH);
    vazer = none_if_empty(std::move(vazer));
    diroziziva = none_if_empty(std::move(diroziziva));
    return steal(PyTuple_Pack(2, vazer.ptr(), diroziziva.ptr()));
}

py::object find_data_project_paths_body(const Module&, Args args) {
    py::object data_path = item(args[0], CurrentDatasDirectory);
    py::object project_path = item(args[0], CurrentProjectsDirectory);
    return steal(PyTuple_Pack(2, data_path.ptr(), project_path.ptr()));
}

}  // namespace

const Function api::FindSolverPaths{
    "FindSolverPaths", {"settings"}, Guard::none, find_solver_paths_body,
    "FindSolverPaths(settings)\n\n"
    "Return the path of Vazer solver and DiroZiziva solver in the current settings json object.\n"
    "None if not defined."};

const Function api::FindDataProjectPaths{
    "FindDataProjectPaths", {"dataSources"}, Guard::none, find_data_project_paths_body,
    "FindDataProjectPaths(dataSources)\n\n"
    "Return the path of the datas and of the projets in the current settings json object."};

}  // namespace vc
