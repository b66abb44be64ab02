// addProjectFolder and removeProjectFolder: the plain folders projects are
// kept in. File-system work only, through os and shutil of the namespace.
// The removal steps are shared with removeProject (projects.cpp).
#include "frame/functions.hpp"
#include "host/bridge.hpp"
#include "host/names.hpp"
#include "projects/projects.hpp"
#include "utilities/path_relations.hpp"

namespace vc {

namespace {

Name rmdir{"rmdir"};
Name name_of_os{"name"};

// The process's current directory, or nothing when it no longer exists.
py::object current_directory(const Module& module) {
    try {
        return call_method(global(module, names::os), names::getcwd);
    } catch (PythonError& e) {
        if (!e.matches(PyExc_OSError)) throw;
        return py::object();
    }
}

// True when the current directory is `folder` or lies inside it. Both the
// folder as named and its resolved form are tried, so a folder reached
// through a link still counts.
bool holds_current_directory(const Module& module, py::handle folder) {
    py::object cwd = current_directory(module);
    if (!cwd) return false;
    py::object folders[] = {borrow(folder.ptr()), os_path_call(module, names::realpath, folder)};
    py::object cwds[] = {cwd, os_path_call(module, names::realpath, cwd)};
    for (const py::object& f : folders) {
        for (const py::object& c : cwds) {
            if (is_within(module, c, f)) return true;
        }
    }
    return false;
}

py::object addProjectFolder_body(const Module& module, Args args) {
    py::object folder = path_join(module, args[0], args[1]);
    if (path_exists(module, folder)) return text("");
    call_method(global(module, names::os), names::makedirs, folder);
    return folder;
}

py::object removeProjectFolder_body(const Module& module, Args args) {
    return remove_folder_tree(module, args[0]);
}

}  // namespace

// The path the operating system resolves `path` to, except that a final
// link is the link itself: its parent resolved, its own name kept ("link/"
// names the link as "link" does). A path ending in ".." or "." names no link
// of its own and is resolved whole.
py::object resolved_keeping_last_link(const Module& module, py::handle path) {
    py::object name = os_path_call(module, names::basename, path);
    py::object parent = os_path_call(module, names::dirname, path);
    if (!truth(name) && not_equals(parent, path)) return resolved_keeping_last_link(module, parent);
    if (!truth(name) || equals(name, text(".")) || equals(name, text(".."))) {
        return os_path_call(module, names::realpath, path);
    }
    return path_join(module, os_path_call(module, names::realpath, truth(parent) ? parent : text(".")), name);
}

// Deletes a folder with everything in it. A missing path or a file is left
// alone. The folder removed is the one the operating system finds at the
// path, resolved to an absolute path before anything moves, so a bare name
// works relative to the current directory and "link/.." is the link target's
// parent. A link given as the folder itself is removed as a link: what it
// leads to stays. The current directory moves to the folder's parent only
// when it lies inside the folder (a folder in use cannot be removed on
// Windows), and stays put otherwise. Errors of the deletion are swallowed:
// the caller tests the path afterwards.
py::object remove_folder_tree(const Module& module, py::handle folderDirectory) {
    if (!path_exists(module, folderDirectory)) return py::none();
    if (!truth(os_path_call(module, names::isdir, folderDirectory))) return py::none();
    ignore_ordinary_errors([&] {
        py::object folder = resolved_keeping_last_link(module, folderDirectory);
        py::object os = global(module, names::os);
        if (truth(os_path_call(module, names::islink, folder))) {
            // Windows removes a link to a folder as a folder, POSIX as a file.
            call_method(os, equals(attr(os, name_of_os), text("nt")) ? rmdir : names::remove, folder);
            return;
        }
        if (holds_current_directory(module, folder)) {
            py::object parentDirectory = os_path_call(module, names::dirname, folder);
            call_method(os, names::chdir, parentDirectory);
        }
        call_method(global(module, names::shutil), names::rmtree, folder);
    });
    return py::none();
}

// clang-format off
const Function api::addProjectFolder{
    "addProjectFolder", {"directory", "folderName"}, Guard::setup, addProjectFolder_body,
    "addProjectFolder(directory, folderName)\n\n"
    "Add a project folder in directory. Return the folder path or an empty string if already exist or problem."};

const Function api::removeProjectFolder{
    "removeProjectFolder", {"folderDirectory"}, Guard::setup, removeProjectFolder_body,
    "removeProjectFolder(folderDirectory)\n\nTry to remove a folder by its path."};
// clang-format on

}  // namespace vc
