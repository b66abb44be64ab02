// loadTessel, saveTessel and getTessel: a model document read from its file
// by the host, written back with its solver input file beside it, and found
// in a directory.
#include "frame/functions.hpp"
#include "host/bridge.hpp"
#include "host/host_paths.hpp"
#include "host/names.hpp"

namespace vc {
namespace {

Name SaveToFile{"SaveToFile"};
Name tessel_extension{".tessel"};

py::object loadTessel_body(const Module& module, Args args) {
    py::handle tesselFilename = args[0];

    // A missing file is answered before the host is touched at all.
    if (!path_exists(module, tesselFilename)) return py::none();

    load_dll(module, names::sdk_dll);
    load_dll(module, names::helper_dll);
    load_dll(module, names::core_dll);
    py::object Model = import_from(module, names::core_namespace, names::Model);
    py::object tessel = call(Model);
    try {
        call_method(tessel, names::LoadFromFile, host_path(module, tesselFilename));
    } catch (PythonError& error) {
        if (!is_exception_family(error)) throw;
        // A file the host cannot read is no model: the half-loaded one is dropped.
        return py::none();
    }
    return tessel;
}

py::object saveTessel_body(const Module& module, Args args) {
    py::handle tessel = args[0];
    py::handle tesselFilename = args[1];

    if (not_equals(tessel, Py_None)) {
        call_method(tessel, SaveToFile, host_path(module, tesselFilename));
        call_global(module, names::writeFreFile, tessel, tesselFilename);
    }
    return py::none();
}

py::object getTessel_body(const Module& module, Args args) {
    return call_global(module, names::find_first_file, args[0], tessel_extension);
}

}  // namespace

// clang-format off
const Function api::loadTessel{
    "loadTessel", {"tesselFilename"}, Guard::setup, loadTessel_body,
    "loadTessel(tesselFilename)\n"
    "\n"
    "Load a tesseL based on its filename.\n"
    "Return the tesseL class if exists. None otherwise."};

const Function api::saveTessel{
    "saveTessel", {"tessel", "tesselFilename"}, Guard::setup, saveTessel_body,
    "saveTessel(tessel, tesselFilename)\n"
    "\n"
    "Save the tessel with its filename. It will also save a fre file with the same name."};

const Function api::getTessel{
    "getTessel", {"directory"}, Guard::setup, getTessel_body,
    "getTessel(directory)\n"
    "\n"
    "Return the first tessel filename in the directory or empty string if doesn't exist."};
// clang-format on

}  // namespace vc
