// find_first_file and copyDirectoryToTemp: file-system helpers that never
// touch the host and work before setup.
#include "frame/callback.hpp"
#include "frame/functions.hpp"
#include "host/bridge.hpp"
#include "host/names.hpp"
#include "utilities/path_relations.hpp"

namespace vc {
namespace {

Name lower{"lower"};
Name dirs_exist_ok{"dirs_exist_ok"};
Name ignore{"ignore"};

char ascii_lower(Py_UCS1 c) {
    return static_cast<char>(c >= 'A' && c <= 'Z' ? c + ('a' - 'A') : c);
}

// name.lower().endswith(ext_lower); ASCII names, the usual case, are compared
// in place without building the lowered copy.
bool lowered_name_ends_with(py::handle name, py::handle ext_lower) {
    PyObject* n = name.ptr();
    PyObject* e = ext_lower.ptr();
    if (PyUnicode_CheckExact(n) && PyUnicode_CheckExact(e) && PyUnicode_IS_ASCII(n) && PyUnicode_IS_ASCII(e)) {
        Py_ssize_t name_length = PyUnicode_GET_LENGTH(n);
        Py_ssize_t ext_length = PyUnicode_GET_LENGTH(e);
        if (ext_length > name_length) return false;
        const Py_UCS1* tail = PyUnicode_1BYTE_DATA(n) + (name_length - ext_length);
        const Py_UCS1* wanted = PyUnicode_1BYTE_DATA(e);
        for (Py_ssize_t i = 0; i < ext_length; ++i) {
            if (ascii_lower(tail[i]) != static_cast<char>(wanted[i])) return false;
        }
        return true;
    }
    return truth(call_method(call_method(name, lower), names::endswith, ext_lower));
}

// The extension is matched without regard to letter case on both sides.
py::object lowered_extension(py::handle ext) {
    if (PyUnicode_Check(ext.ptr())) return call_method(ext, lower);
    return borrow(ext.ptr());  // left to endswith to accept or refuse
}

py::object find_first_file_body(const Module& module, Args args) {
    py::handle directory = args[0];
    py::object names_listed = call_method(global(module, names::os), names::listdir, directory);
    py::object ext = lowered_extension(args[1]);
    py::object found;
    auto test = [&](py::handle name) {
        if (!lowered_name_ends_with(name, ext)) return false;
        py::object candidate = path_join(module, directory, name);
        if (!truth(os_path_call(module, names::isfile, candidate))) return false;
        found = std::move(candidate);
        return true;
    };
    if (PyList_CheckExact(names_listed.ptr())) {
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(names_listed.ptr()); ++i) {
            if (test(borrow(PyList_GET_ITEM(names_listed.ptr(), i)))) return found;
        }
    } else {
        py::object iterator = steal(PyObject_GetIter(names_listed.ptr()));
        while (PyObject* name = PyIter_Next(iterator.ptr())) {
            if (test(steal(name))) return found;
        }
        if (PyErr_Occurred()) throw_error();
    }
    return steal(PyUnicode_FromStringAndSize("", 0));
}

// Following a link to a folder copies that folder again: when it is in the
// tree being copied, or when it holds a folder the copy came through (a
// loop), the copy would double or never end. copytree's `ignore` callable
// that names such links in each folder it lists; they are not copied.
py::object links_leading_back(const Module& module, py::handle directory) {
    py::object module_object = borrow(module.object);
    py::object root = os_path_call(module, names::realpath, directory);
    // Folder as copytree names it -> the real folders it was reached through.
    py::object chains = steal(PyDict_New());
    return make_callback("links_leading_back", 2, [module_object, root, chains](Args args) {
        const Module m = module_of(module_object);
        py::handle folder = args[0];
        py::handle entries = args[1];
        PyObject* parent = PyDict_GetItemWithError(chains.ptr(), os_path_call(m, names::dirname, folder).ptr());
        if (parent == nullptr && PyErr_Occurred()) throw_error();
        py::object chain = steal(parent != nullptr ? PySequence_List(parent) : PyList_New(0));
        if (PyList_Append(chain.ptr(), os_path_call(m, names::realpath, folder).ptr()) < 0) throw_error();
        if (PyDict_SetItem(chains.ptr(), folder.ptr(), chain.ptr()) < 0) throw_error();

        py::object ignored = steal(PyList_New(0));
        py::object iterator = steal(PyObject_GetIter(entries.ptr()));
        while (PyObject* item = PyIter_Next(iterator.ptr())) {
            py::object name = steal(item);
            py::object path = path_join(m, folder, name);
            if (!truth(os_path_call(m, names::islink, path)) || !truth(os_path_call(m, names::isdir, path))) continue;
            py::object target = os_path_call(m, names::realpath, path);
            bool leads_back = is_within(m, target, root);
            for (Py_ssize_t i = 0; !leads_back && i < PyList_GET_SIZE(chain.ptr()); ++i) {
                leads_back = is_within(m, borrow(PyList_GET_ITEM(chain.ptr(), i)), target);
            }
            if (leads_back && PyList_Append(ignored.ptr(), name.ptr()) < 0) throw_error();
        }
        if (PyErr_Occurred()) throw_error();
        return ignored;
    });
}

py::object copy_directory_to_temp_body(const Module& module, Args args) {
    py::object unique = steal(PyObject_Str(call_method(global(module, names::uuid), names::uuid4).ptr()));
    py::object temp_directory =
        path_join(module, call_method(global(module, names::tempfile), names::gettempdir), unique);
    try {
        call_with_keywords(attr(global(module, names::shutil), names::copytree), {args[0], temp_directory},
                           {{&dirs_exist_ok, Py_True}, {&ignore, links_leading_back(module, args[0])}});
        return temp_directory;
    } catch (PythonError& error) {
        // A failed or interrupted copy leaves nothing behind: the folder is
        // new, so all of it is ours.
        ignore_ordinary_errors([&] {
            call_with_keywords(attr(global(module, names::shutil), names::rmtree), {temp_directory},
                               {{&names::ignore_errors, Py_True}});
        });
        if (!is_exception_family(error)) throw;
    }
    return steal(PyUnicode_FromStringAndSize("", 0));
}

}  // namespace

// clang-format off
const Function api::find_first_file{
    "find_first_file", {"directory", "ext"}, Guard::none, find_first_file_body,
    "find_first_file(directory, ext)\n\n"
    "Return the first file with extension = ext in directory or empty string if not exists."};

const Function api::copyDirectoryToTemp{
    "copyDirectoryToTemp", {"directory"}, Guard::none, copy_directory_to_temp_body,
    "copyDirectoryToTemp(directory)\n\n"
    "Return a unic temporary directory with all the content of directory.\n"
    "Return an empty string if a problem occurs."};
// clang-format on

}  // namespace vc
