// setup_veltrane_computer: binds the module to one installation (culture,
// paths, settings, the core assemblies, the application and the command
// controller) and opens the setup guard.
#include "frame/functions.hpp"
#include "host/bridge.hpp"
#include "host/culture.hpp"
#include "host/names.hpp"

namespace vc {
namespace {

Name globalization_namespace{"System.Globalization"};
Name CultureInfo{"CultureInfo"};
Name VeltraneApplication{"VeltraneApplication"};
Name CommandController{"CommandController"};
Name SetApplication{"SetApplication"};
Name FindSolverPaths{"FindSolverPaths"};
Name FindDataProjectPaths{"FindDataProjectPaths"};
Name open_name{"open"};
Name load{"load"};
Name close{"close"};
Name read_mode{"r"};
Name encoding{"encoding"};
// Windows tools often write a byte-order mark; a file without one reads the same.
Name utf8_with_optional_bom{"utf-8-sig"};

void require_existing(const Module& module, py::handle path) {
    if (!path_exists(module, path)) {
        raise(PyExc_FileNotFoundError, message("The directory '", path, "' does not exist."));
    }
}

// The whole file parsed as one JSON document; the file is closed on every path.
py::object read_settings_file(const Module& module, py::handle path) {
    py::object file = call_with_keywords(global(module, open_name), {path, read_mode.get()},
                                         {{&encoding, utf8_with_optional_bom.get()}});
    py::object parsed;
    try_finally([&] { parsed = call_method(global(module, names::json), load, file); },
                [&] { call_method(file, close); });
    return parsed;
}

// `first, second = pair`, as the interpreter unpacks any iterable of two.
std::pair<py::object, py::object> unpack_pair(py::handle pair) {
    py::object iterator = steal(PyObject_GetIter(pair.ptr()));
    py::object items[2];
    for (int i = 0; i < 2; ++i) {
        PyObject* item = PyIter_Next(iterator.ptr());
        if (item == nullptr) {
            if (!PyErr_Occurred()) {
                PyErr_Format(PyExc_ValueError, "not enough values to unpack (expected 2, got %d)", i);
            }
            throw_error();
        }
        items[i] = steal(item);
    }
    PyObject* extra = PyIter_Next(iterator.ptr());
    if (extra != nullptr) {
        Py_DECREF(extra);
        PyErr_SetString(PyExc_ValueError, "too many values to unpack (expected 2)");
        throw_error();
    }
    if (PyErr_Occurred()) throw_error();
    return {std::move(items[0]), std::move(items[1])};
}

// Loads the core assemblies and creates the application and the command
// controller bound to it.
void load_host(const Module& module) {
    load_dll(module, names::sdk_dll);
    set_global(module, names::Application_, call(import_from(module, names::sdk_namespace, VeltraneApplication)));
    load_dll(module, names::core_dll);
    set_global(module, names::commandController, call(import_from(module, names::core_namespace, CommandController)));
    call_method(global(module, names::commandController), SetApplication, global(module, names::Application_));
}

py::object setup_steps(const Module& module, py::handle installation_directory) {
    call_method(global(module, names::clr), names::AddReference, names::mscorlib);
    py::object culture_class = import_from(module, globalization_namespace, CultureInfo);
    set_global(module, names::CultureInfo_, call(culture_class, text("en-US")));
    apply_culture_to_current_thread(module);

    require_existing(module, installation_directory);
    require_existing(module, global(module, names::settingsPath));
    require_existing(module, global(module, names::dataSourcesPath));

    set_global(module, names::exePath, installation_directory);
    set_global(module, names::dllPath, path_join(module, installation_directory, text("Extensions")));

    py::object settings = read_settings_file(module, global(module, names::settingsPath));
    auto [vazer, diroziziva] = unpack_pair(call_global(module, FindSolverPaths, settings));
    set_global(module, names::Vazer_, vazer);
    set_global(module, names::DiroZiziva_, diroziziva);

    py::object data_sources = read_settings_file(module, global(module, names::dataSourcesPath));
    auto [data_path, project_path] = unpack_pair(call_global(module, FindDataProjectPaths, data_sources));
    set_global(module, names::dataPath, data_path);
    set_global(module, names::projectPath, project_path);

    set_global(module, names::validSetup, Py_False);
    if (path_exists(module, global(module, names::dllPath))) {
        // The guard opens before loading, since load_dll is guarded itself.
        set_global(module, names::validSetup, Py_True);
        load_host(module);
    }
    return global(module, names::validSetup);
}

py::object setup_body(const Module& module, Args args) {
    // A setup that raises closes the guard: the paths and the host it had
    // replaced by then would mix two installations.
    try {
        return setup_steps(module, args[0]);
    } catch (PythonError&) {
        set_global(module, names::validSetup, Py_False);
        throw;
    }
}

}  // namespace

// clang-format off
const Function api::setup_veltrane_computer{
    "setup_veltrane_computer", {"tubrolis_installation_directory", "veltraneModule"}, Guard::none, setup_body,
    "setup_veltrane_computer(tubrolis_installation_directory, veltraneModule)\n"
    "\n"
    "Setup the Veltrane Computer by defining its installation's directory and the module to use.\n"
    "Example : \n"
    "\n"
    "   import veltrane_computer as cc\n"
    "   valid = cc.setup_veltrane_computer(\"C:\\Program Files\\Veltrane\\Tubrolis 20XX.Y\", "
    "cc.VeltraneModule.Tubrolis)\n"
    "\n"
    "Return True if the directory exists and the Tubrolis installation was loaded, False otherwise.\n"
    "\n"
    "veltraneModule can be:\n"
    "- cc.VeltraneModule.All\n"
    "- cc.VeltraneModule.Tubrolis\n"
    "- cc.VeltraneModule.Trabexon"};
// clang-format on

}  // namespace vc
