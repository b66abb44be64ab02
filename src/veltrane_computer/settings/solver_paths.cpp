// FindSolverPaths and FindDataProjectPaths: the solver paths and the data and
// projects directories taken from the parsed settings files. Any subscriptable
// object with iterable arrays works; exact dicts, lists and strings take a
// fast road that behaves the same.
#include "functions.hpp"
#include "host/bridge.hpp"

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
    if (PyUnicode_CheckExact(value.ptr())) return same_text(value.ptr(), target.get());
    return equals(value, target.get());
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

// ---- keys of parsed JSON objects ---------------------------------------------
//
// The objects of a parsed file are small exact dicts with str keys, and
// objects of one kind come with their keys in the same order. A key is then
// looked for first at the entry where it was found in the previous object,
// and only then by hashing. Among str keys only the one with the same text
// is equal to a str, so a key found at that entry is the dict's answer.

// Where a key was found last, and the key object found there (the parser
// shares one object per key text, so the next dict most likely holds the
// same object).
struct KeyPlace {
    Py_ssize_t position = 0;
    py::object seen;
};

constexpr Py_ssize_t kScanLimit = 16;

bool is_key(PyObject* entry_key, const Name& key, const KeyPlace& place) {
    return entry_key == place.seen.ptr() || (PyUnicode_CheckExact(entry_key) && same_text(entry_key, key.get()));
}

// dict[key] for an exact dict, borrowed; nullptr when the dict has no such key.
PyObject* find_key(PyObject* dict, const Name& key, KeyPlace& place) {
    Py_ssize_t position = place.position;
    PyObject *entry_key, *value;
    if (PyDict_Next(dict, &position, &entry_key, &value) && is_key(entry_key, key, place)) {
        place.position = position - 1;
        return value;
    }
    if (PyDict_GET_SIZE(dict) <= kScanLimit) {
        // All of a few keys are looked at, unless one is not a str (then it
        // is left to the dict, whose lookup may compare it with the key).
        position = 0;
        bool all_text = true;
        while (PyDict_Next(dict, &position, &entry_key, &value)) {
            if (!PyUnicode_CheckExact(entry_key)) {
                all_text = false;
                break;
            }
            if (same_text(entry_key, key.get())) {
                place.position = position - 1;
                place.seen = borrow(entry_key);
                return value;
            }
        }
        if (all_text) return nullptr;
    }
    value = PyDict_GetItemWithError(dict, key.get());
    if (value == nullptr && PyErr_Occurred()) throw_error();
    return value;
}

// ---- the same two walks over plain parsed JSON, in one pass -------------------
//
// When the settings are made of exact dicts, exact lists and exact strs, as
// the JSON reader gives them, reading them runs no code of their own:
// nothing can tell how often they are read. Both walks then share one pass
// over the families, each family's name read once, and keep their own last
// match. Anything else met on the way (another type, a missing key) abandons
// the pass, which has changed nothing, and the two walks above run as
// written, with their errors.

// container[key] of an exact dict; an empty handle when the key is absent or
// the container is not an exact dict.
py::object plain_item(py::handle container, const Name& key, KeyPlace& place) {
    if (!PyDict_CheckExact(container.ptr())) return {};
    PyObject* value = find_key(container.ptr(), key, place);
    return value != nullptr ? borrow(value) : py::object();
}

enum class Match { no, yes, not_plain };

// container["Name"] == target, when the container is an exact dict whose
// name is an exact str.
Match plain_named(py::handle container, const Name& target, KeyPlace& place) {
    py::object name = plain_item(container, Name_, place);
    if (!name || !PyUnicode_CheckExact(name.ptr())) return Match::not_plain;
    return same_text(name.ptr(), target.get()) ? Match::yes : Match::no;
}

// The list at container[key]; an empty handle when it is not an exact list.
py::object plain_list(py::handle container, const Name& key, KeyPlace& place) {
    py::object list = plain_item(container, key, place);
    if (list && !PyList_CheckExact(list.ptr())) return {};
    return list;
}

// In a matching family: the "Value" of the last setting named `setting` of a
// sub-family named `sub_family`, else `found` as it was. False when the
// family is not plain.
bool plain_family(py::handle famille, const Name& sub_family, const Name& setting, py::object& found) {
    KeyPlace place;
    py::object sub_families = plain_list(famille, SubFamilies, place);
    if (!sub_families) return false;
    KeyPlace sub_name, settings_place, setting_name, value_place;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(sub_families.ptr()); ++i) {
        py::object sous_famille = borrow(PyList_GET_ITEM(sub_families.ptr(), i));
        Match sub_match = plain_named(sous_famille, sub_family, sub_name);
        if (sub_match == Match::not_plain) return false;
        if (sub_match == Match::no) continue;
        py::object settings = plain_list(sous_famille, Settings, settings_place);
        if (!settings) return false;
        for (Py_ssize_t j = 0; j < PyList_GET_SIZE(settings.ptr()); ++j) {
            py::object entry = borrow(PyList_GET_ITEM(settings.ptr(), j));
            Match setting_match = plain_named(entry, setting, setting_name);
            if (setting_match == Match::not_plain) return false;
            if (setting_match == Match::no) continue;
            py::object value = plain_item(entry, Value, value_place);
            if (!value) return false;
            found = std::move(value);
        }
    }
    return true;
}

// Both solver paths from plain settings; false when the settings are not plain.
bool plain_solver_paths(py::handle settings, py::object& vazer, py::object& diroziziva) {
    KeyPlace families_place, name_place;
    py::object families = plain_list(settings, Families, families_place);
    if (!families) return false;
    py::object vazer_found = py::none();
    py::object diroziziva_found = py::none();
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(families.ptr()); ++i) {
        py::object famille = borrow(PyList_GET_ITEM(families.ptr(), i));
        py::object name = plain_item(famille, Name_, name_place);
        if (!name || !PyUnicode_CheckExact(name.ptr())) return false;
        if (same_text(name.ptr(), VAZER.get())) {
            if (!plain_family(famille, PATH, WINDOWS_SOLVER_PATH, vazer_found)) return false;
        } else if (same_text(name.ptr(), DIROZIZIVA.get())) {
            if (!plain_family(famille, PATH, SOLVER_PATH, diroziziva_found)) return false;
        }
    }
    vazer = std::move(vazer_found);
    diroziziva = std::move(diroziziva_found);
    return true;
}

// An empty text means "not defined".
py::object none_if_empty(py::object path) {
    bool empty = PyUnicode_CheckExact(path.ptr()) ? PyUnicode_GET_LENGTH(path.ptr()) == 0
                                                  : equals(path, steal(PyUnicode_FromStringAndSize("", 0)));
    return empty ? py::none() : std::move(path);
}

py::object pair(py::handle first, py::handle second) {
    py::object result = steal(PyTuple_New(2));
    PyTuple_SET_ITEM(result.ptr(), 0, Py_NewRef(first.ptr()));
    PyTuple_SET_ITEM(result.ptr(), 1, Py_NewRef(second.ptr()));
    return result;
}

py::object find_solver_paths_body(const Module&, Args args) {
    py::object vazer, diroziziva;
    if (!plain_solver_paths(args[0], vazer, diroziziva)) {
        vazer = find_setting(args[0], VAZER, PATH, WINDOWS_SOLVER_PATH);
        diroziziva = find_setting(args[0], DIROZIZIVA, PATH, SOLVER_PATH);
    }
    vazer = none_if_empty(std::move(vazer));
    diroziziva = none_if_empty(std::move(diroziziva));
    return pair(vazer, diroziziva);
}

py::object find_data_project_paths_body(const Module&, Args args) {
    if (PyDict_CheckExact(args[0])) {
        // Both keys are usually next to each other, in this order.
        KeyPlace place;
        PyObject* found = find_key(args[0], CurrentDatasDirectory, place);
        if (found != nullptr) {
            py::object data_path = borrow(found);
            place.position += 1;
            place.seen = py::object();
            PyObject* project_path = find_key(args[0], CurrentProjectsDirectory, place);
            if (project_path != nullptr) return pair(data_path, project_path);
        }
    }
    py::object data_path = item(args[0], CurrentDatasDirectory);
    py::object project_path = item(args[0], CurrentProjectsDirectory);
    return pair(data_path, project_path);
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
