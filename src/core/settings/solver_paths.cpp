// FindSolverPaths and FindDataProjectPaths: the solver paths and the data and
// projects directories taken from the parsed settings files. Any subscriptable
// object with iterable arrays works; exact dicts, lists and strings take a
// fast road that behaves the same.
#include "frame/functions.hpp"
#include "host/bridge.hpp"

#if defined(_MSC_VER) && (defined(_M_X64) || defined(_M_IX86))
#include <xmmintrin.h>
#endif

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

// container[key], for anything but a dict holding the key.
VC_NOINLINE py::object item_generally(py::handle container, const Name& key) {
    if (PyDict_CheckExact(container.ptr())) {
        if (PyErr_Occurred()) throw_error();
        PyErr_SetObject(PyExc_KeyError, key.get());
        throw_error();
    }
    return steal(PyObject_GetItem(container.ptr(), key.get()));
}

// container[key]
inline py::object item(py::handle container, const Name& key) {
    if (PyDict_CheckExact(container.ptr())) [[likely]] {
        if (PyObject* value = PyDict_GetItemWithError(container.ptr(), key.get())) [[likely]]
            return borrow(value);
    }
    return item_generally(container, key);
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

// ---- the same two walks over plain parsed JSON, in one pass -------------------
//
// The JSON reader gives the settings as exact lists, exact strs and small
// exact dicts with str keys. Reading such data runs no code: nothing can tell
// how often it is read, and nothing can change it while it is read. Both
// walks then share one pass over the families, each family's name read once,
// and keep their own last match; and the pass borrows what it reads. Anything
// else met on the way (another type, a bigger dict, a missing key) abandons
// the pass, which has changed nothing, and the two walks above run as written,
// with their errors.
//
// A key of such a dict is found among its entries, where the same key was
// found in the previous dict first: the objects of one kind come with their
// keys in the same order, and the reader shares one key object per text.
// Among str keys only the one with the same text is equal to a str key.

constexpr Py_ssize_t kSmallDict = 16;

inline void prefetch(const void* address) {
#if defined(__GNUC__) || defined(__clang__)
    __builtin_prefetch(address);
#elif defined(_M_X64) || defined(_M_IX86)
    _mm_prefetch(static_cast<const char*>(address), _MM_HINT_T0);
#else
    (void)address;
#endif
}

struct KeyPlace {
    Py_ssize_t position = 0;
    PyObject* seen = nullptr;  // the key object found there; compared, never read
};

enum class Found { value, absent, not_plain };

Found plain_item(PyObject* container, const Name& key, KeyPlace& place, PyObject*& value) {
    if (!PyDict_CheckExact(container) || PyDict_GET_SIZE(container) > kSmallDict) return Found::not_plain;
    Py_ssize_t position = place.position;
    PyObject* entry_key;
    if (PyDict_Next(container, &position, &entry_key, &value) &&
        (entry_key == place.seen || (PyUnicode_CheckExact(entry_key) && same_text(entry_key, key.get())))) {
        place.position = position - 1;
        place.seen = entry_key;
        return Found::value;
    }
    Found found = Found::absent;
    PyObject* match = nullptr;
    position = 0;
    while (PyDict_Next(container, &position, &entry_key, &value)) {
        if (!PyUnicode_CheckExact(entry_key)) return Found::not_plain;
        if (found == Found::absent && same_text(entry_key, key.get())) {
            found = Found::value;
            match = value;
            place.position = position - 1;
            place.seen = entry_key;
        }
    }
    value = match;
    return found;
}

enum class Match { no, yes, not_plain };

// container["Name"] == target
Match plain_named(PyObject* container, const Name& target, KeyPlace& place) {
    PyObject* name;
    if (plain_item(container, Name_, place, name) != Found::value || !PyUnicode_CheckExact(name)) {
        return Match::not_plain;
    }
    return same_text(name, target.get()) ? Match::yes : Match::no;
}

// container[key], an exact list
PyObject* plain_list(PyObject* container, const Name& key, KeyPlace& place) {
    PyObject* list;
    if (plain_item(container, key, place, list) != Found::value || !PyList_CheckExact(list)) return nullptr;
    return list;
}

// In a matching family: the "Value" of the last setting named `setting` of a
// sub-family named `sub_family`, else `found` as it was. False when the
// family is not plain.
bool plain_family(PyObject* famille, const Name& sub_family, const Name& setting, PyObject*& found) {
    KeyPlace place, sub_name, settings_place, setting_name, value_place;
    PyObject* sub_families = plain_list(famille, SubFamilies, place);
    if (sub_families == nullptr) return false;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(sub_families); ++i) {
        PyObject* sous_famille = PyList_GET_ITEM(sub_families, i);
        Match sub_match = plain_named(sous_famille, sub_family, sub_name);
        if (sub_match == Match::not_plain) return false;
        if (sub_match == Match::no) continue;
        PyObject* settings = plain_list(sous_famille, Settings, settings_place);
        if (settings == nullptr) return false;
        for (Py_ssize_t j = 0; j < PyList_GET_SIZE(settings); ++j) {
            PyObject* entry = PyList_GET_ITEM(settings, j);
            Match setting_match = plain_named(entry, setting, setting_name);
            if (setting_match == Match::not_plain) return false;
            if (setting_match == Match::no) continue;
            if (plain_item(entry, Value, value_place, found) != Found::value) return false;
        }
    }
    return true;
}

// Both solver paths from plain settings; false when the settings are not plain.
bool plain_solver_paths(PyObject* settings, py::object& vazer, py::object& diroziziva) {
    KeyPlace families_place, name_place;
    PyObject* families = plain_list(settings, Families, families_place);
    if (families == nullptr) return false;
    PyObject* vazer_found = Py_None;
    PyObject* diroziziva_found = Py_None;
    PyObject* vazer_name = VAZER.get();
    PyObject* diroziziva_name = DIROZIZIVA.get();
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(families); ++i) {
        // The families lie scattered over the parsed document: ask for the
        // memory of the next ones early (a hint only, nothing is read here
        // but the dict's public fields, once they have arrived).
        if (i + 8 < PyList_GET_SIZE(families)) prefetch(PyList_GET_ITEM(families, i + 8));
        if (i + 4 < PyList_GET_SIZE(families)) {
            PyObject* ahead = PyList_GET_ITEM(families, i + 4);
            if (PyDict_CheckExact(ahead)) prefetch(reinterpret_cast<PyDictObject*>(ahead)->ma_keys);
        }
        PyObject* famille = PyList_GET_ITEM(families, i);
        PyObject* name;
        if (plain_item(famille, Name_, name_place, name) != Found::value || !PyUnicode_CheckExact(name)) {
            return false;
        }
        if (same_text(name, vazer_name)) {
            if (!plain_family(famille, PATH, WINDOWS_SOLVER_PATH, vazer_found)) return false;
        } else if (same_text(name, diroziziva_name)) {
            if (!plain_family(famille, PATH, SOLVER_PATH, diroziziva_found)) return false;
        }
    }
    vazer = borrow(vazer_found);
    diroziziva = borrow(diroziziva_found);
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

// Each value goes into the pair as soon as it is read: the pair holds it
// while the second key is looked for.
py::object find_data_project_paths_body(const Module&, Args args) {
    py::object paths = steal(PyTuple_New(2));
    PyTuple_SET_ITEM(paths.ptr(), 0, item(args[0], CurrentDatasDirectory).release().ptr());
    PyTuple_SET_ITEM(paths.ptr(), 1, item(args[0], CurrentProjectsDirectory).release().ptr());
    return paths;
}

}  // namespace

// clang-format off
const Function api::FindSolverPaths{
    "FindSolverPaths", {"settings"}, Guard::none, find_solver_paths_body,
    "FindSolverPaths(settings)\n\n"
    "Return the path of Vazer solver and DiroZiziva solver in the current settings json object.\n"
    "None if not defined."};

const Function api::FindDataProjectPaths{
    "FindDataProjectPaths", {"dataSources"}, Guard::none, find_data_project_paths_body,
    "FindDataProjectPaths(dataSources)\n\n"
    "Return the path of the datas and of the projets in the current settings json object."};
// clang-format on

}  // namespace vc
