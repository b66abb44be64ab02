// writeFreFile: the solver input file of a model, written by the host's own
// writer from six of the application's live settings. The old input file is
// moved aside only once every setting has been read and converted, so a
// missing settings controller or a setting that does not convert leaves it in
// place, and it is put back when the writer fails.
#include "frame/functions.hpp"
#include "host/bridge.hpp"
#include "host/names.hpp"
#include "models/input_files.hpp"

namespace vc {
namespace {

Name PSLibrary{"PSLibrary"};
Name Initialize{"Initialize"};
Name GetSettingsController{"GetSettingsController"};
Name GetSettingValue{"GetSettingValue"};
Name WriteFreFile{"WriteFreFile"};
Name int_name{"int"};
Name replace{"replace"};
Name hex{"hex"};
Name library_file{"Veltrane.DiroZiziva.lib"};
Name fre_extension{".fre"};
Name conception_fre{"conception.fre"};
Name diroziziva_family{"DIROZIZIVA"};
Name tubrolis_family{"TUBROLIS"};
Name max_field_length{"MAX FIELD LENGTH"};
Name rotation_units{"ROTATION UNITS"};
Name restraints_inline{"GENERATE RESTRAINTS INLINE"};
Name dlcs_inline{"GENERATE DLCS INLINE"};
Name indi_inline{"GENERATE INDI INLINE"};
Name imperial_notation{"USE IMPERIAL NOTATION"};
Name degrees{"Degrees"};
Name milliradians{"Milliradians"};

py::object read_setting(py::handle settings, const Name& family, const Name& name) {
    return call_method(settings, GetSettingValue, family, name);
}

py::object as_int(const Module& module, py::handle value) {
    return call_global(module, int_name, value);
}

// 1 for degrees, 2 for milliradians, 0 for anything else (case counts).
py::object rotation_code(py::handle value) {
    long code = equals(value, degrees.get()) ? 1 : equals(value, milliradians.get()) ? 2 : 0;
    return steal(PyLong_FromLong(code));
}

// True exactly when the value converts to the integer 1.
py::object flag(const Module& module, py::handle value) {
    py::object one = steal(PyLong_FromLong(1));
    return steal(PyObject_RichCompare(as_int(module, value).ptr(), one.ptr(), Py_EQ));
}

// Renames an existing `path` to a new name beside it and returns that name;
// nothing when there is no such file or it cannot be moved (the writer then
// meets it as it is).
py::object move_aside(const Module& module, py::handle path) {
    py::object aside;
    if (path_exists(module, path)) {
        ignore_ordinary_errors([&] {
            py::object unique = attr(call_method(global(module, names::uuid), names::uuid4), hex);
            py::object name = concat(path, message(".", unique, ".old"));
            call_method(global(module, names::os), replace, path, name);
            aside = std::move(name);
        });
    }
    return aside;
}

py::object writeFreFile_body(const Module& module, Args args) {
    py::handle tessel = args[0];
    py::handle tesselFilename = args[1];

    load_dll(module, names::core_dll);
    py::object library = import_from(module, names::core_namespace, PSLibrary);
    py::object library_path = path_join(module, global(module, names::dllPath), library_file.get());
    if (!path_exists(module, library_path)) {
        raise(PyExc_OSError, "Invalid setup! Veltrane.DiroZiziva.lib not found!");
    }
    call_method(library, Initialize, library_path);

    py::object frefile = input_file_in(module, os_path_call(module, names::dirname, tesselFilename), tesselFilename);

    py::object settings = call_method(global(module, names::Application_), GetSettingsController);
    if (equals_none(settings)) return py::none();

    py::object maxLength = as_int(module, read_setting(settings, diroziziva_family, max_field_length));
    py::object rotationOption = rotation_code(read_setting(settings, diroziziva_family, rotation_units));
    py::object inlineRestraints = flag(module, read_setting(settings, diroziziva_family, restraints_inline));
    py::object inlineDLCS = flag(module, read_setting(settings, diroziziva_family, dlcs_inline));
    py::object inlineINDI = flag(module, read_setting(settings, diroziziva_family, indi_inline));
    py::object writeImperial = flag(module, read_setting(settings, tubrolis_family, imperial_notation));

    // Everything the writer needs is in hand: only now does the old file go,
    // aside first, to come back if the writer fails.
    py::object aside = move_aside(module, frefile);
    on_error(
        [&] {
            call_method(tessel, WriteFreFile, frefile, Py_None, maxLength, rotationOption, Py_False, writeImperial,
                        inlineRestraints, inlineDLCS, inlineINDI, Py_False, Py_None, Py_None);
        },
        [&] {
            if (aside) call_method(global(module, names::os), replace, aside, frefile);
        });
    if (aside) ignore_ordinary_errors([&] { call_method(global(module, names::os), names::remove, aside); });
    return py::none();
}

}  // namespace

py::object input_file_in(const Module& module, py::handle directory, py::handle tesselFilename) {
    py::object frefile =
        path_join(module, directory, file_name_with_extension(module, tesselFilename, fre_extension.get()));
    if (!path_exists(module, frefile)) frefile = path_join(module, directory, conception_fre.get());
    return frefile;
}

// clang-format off
const Function api::writeFreFile{
    "writeFreFile", {"tessel", "tesselFilename"}, Guard::setup, writeFreFile_body,
    "writeFreFile(tessel, tesselFilename)\n"
    "\n"
    "Write the fre file corresponding to the tessel in the directory with respect of the settings."};
// clang-format on

}  // namespace vc
