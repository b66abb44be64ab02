// The module frame of veltrane_computer.veltrane_core: module creation and
// execution, the module body (imports, VeltraneModule, the state globals,
// the function objects), argument binding, the setup guard, error conversion
// and the traceback frames of every exported function.
#include "frame/frame.hpp"

#include "frame/functions.hpp"
#include "host/bridge.hpp"
#include "host/names.hpp"
#include "solving/worker_runs.hpp"

#include <atomic>
#include <cstdint>
#include <string>
#include <utility>

namespace vc {
namespace {

constexpr const char* kModuleName = "veltrane_computer.veltrane_core";
// The file name tracebacks show for the module; scripts match on it, so it
// stays as it was when the sources lived in the package.
constexpr const char* kSourceFile = "src/veltrane_computer/veltrane_core";
constexpr const char* kGuardMessage =
    "Invalid setup! Please call 'from veltrane_computer import setup_veltrane_computer' and set "
    "up with Tubrolis installation directory.";

// The exported functions in the order the module body defines them.
const Function* const kFunctionTable[] = {
    &api::setup_veltrane_computer,
    &api::load_dll,
    &api::load_dll_c,
    &api::FindSolverPaths,
    &api::FindDataProjectPaths,
    &api::loadTessel,
    &api::saveTessel,
    &api::getTessel,
    &api::createTessel,
    &api::createPipingTessel,
    &api::createStructureTessel,
    &api::solve,
    &api::disposeSolution,
    &api::solvePipingModel,
    &api::solveStructureModel,
    &api::DiroZizivaSolve,
    &api::VazerSolve,
    &api::find_first_file,
    &api::copyDirectoryToTemp,
    &api::inspectClass,
    &api::findNameSpaceAndAssembly,
    &api::writeFreFile,
    &api::createCommand,
    &api::executeCommand,
    &api::addProjectFolder,
    &api::removeProjectFolder,
    &api::addProject,
    &api::addPipingProject,
    &api::addStructureProject,
    &api::removeProject,
    &api::addStudy,
    &api::addPipingStudy,
    &api::addStructureStudy,
    &api::removeStudy,
    &api::duplicateStudy,
};
constexpr std::size_t kFunctionCount = std::size(kFunctionTable);

// Per function: its parameter names (interned) and count, the code object of
// its traceback frame, made on the first error, and a frame of that code kept
// for the next error (see traceback_frame).
struct FunctionState {
    PyObject* parameters[kMaxParameters] = {};
    Py_ssize_t parameter_count = 0;
    PyCodeObject* code = nullptr;
    PyFrameObject* frame = nullptr;
    PyObject* frame_globals = nullptr;  // held by the frame
};

// The frame's data lives for the process: the module may be loaded into one
// interpreter only, and a second creation hands back the same module.
struct ProcessState {
    std::atomic<std::int64_t> interpreter_id = -1;  // read by interpreters that do not share a GIL
    PyObject* module = nullptr;                     // the executed module, forgotten if its body failed
    PyObject* module_dict = nullptr;                // its namespace, which a module keeps for life
    PyObject* guard_arguments = nullptr;            // (message,): the arguments of every guard error
    PyCodeObject* init_code = nullptr;
    FunctionState functions[kFunctionCount];
    PyMethodDef method_defs[kFunctionCount] = {};
};
ProcessState state;

// ---- traceback frames ------------------------------------------------------

PyCodeObject* traceback_code(const std::string& frame_name, int line) {
    return PyCode_NewEmpty(kSourceFile, frame_name.c_str(), line);
}

// A new frame of `code` whose globals are `globals`, made with the pending
// error put aside; nullptr if it cannot be made (the error stays as it was).
PyFrameObject* new_frame(PyCodeObject*& code, const char* function_name, int line, PyObject* globals) {
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    if (code == nullptr) code = traceback_code(function_name, line);
    PyFrameObject* frame = code != nullptr ? PyFrame_New(PyThreadState_Get(), code, globals, nullptr) : nullptr;
    PyErr_Clear();  // a failure to build the frame must not replace the error
    PyErr_Restore(type, value, traceback);
    return frame;
}

// Adds a frame of `code` to the traceback of the pending error.
void add_traceback(PyFrameObject* frame) {
    if (frame != nullptr) {
        PyTraceBack_Here(frame);
        Py_DECREF(frame);
    }
}

// The frame of a function's traceback entry. Such a frame never runs and
// holds nothing but its code and globals, so one that nothing else refers to
// any more (the traceback that showed it is gone) is as good as a new one
// and serves the next error of the same function.
PyFrameObject* traceback_frame(std::size_t row, PyObject* globals) {
    FunctionState& fs = state.functions[row];
    PyFrameObject* kept = fs.frame;
    if (kept != nullptr && Py_REFCNT(kept) == 1 && fs.frame_globals == globals) {
        Py_INCREF(kept);
        return kept;
    }
    std::string frame_name;
    if (fs.code == nullptr) frame_name = std::string(kModuleName) + "." + kFunctionTable[row]->name;
    PyFrameObject* frame = new_frame(fs.code, frame_name.c_str(), static_cast<int>(row + 1), globals);
    if (frame != nullptr && kept == nullptr) {
        fs.frame = reinterpret_cast<PyFrameObject*>(Py_NewRef(frame));
        fs.frame_globals = globals;
    }
    return frame;
}

VC_NOINLINE void add_function_traceback(std::size_t row, PyObject* globals) {
    add_traceback(traceback_frame(row, globals));
}

// ---- argument binding --------------------------------------------------------

int argument_count_error(const Function& fn, Py_ssize_t expected, Py_ssize_t given) {
    PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)", fn.name, "exactly",
                 expected, expected == 1 ? "" : "s", given);
    return -1;
}

Py_ssize_t parameter_index(const FunctionState& fs, PyObject* key) {
    for (Py_ssize_t i = 0; i < fs.parameter_count; ++i) {
        if (fs.parameters[i] == key) return i;
    }
    for (Py_ssize_t i = 0; i < fs.parameter_count; ++i) {
        int equal = PyObject_RichCompareBool(fs.parameters[i], key, Py_EQ);
        if (equal < 0) return -2;
        if (equal) return i;
    }
    return -1;
}

// Binds positional and keyword arguments to the parameters, all required.
// On success `bound` holds a new reference per parameter.
int bind_arguments(std::size_t row, PyObject* args, PyObject* kwargs, PyObject** bound) {
    const Function& fn = *kFunctionTable[row];
    const FunctionState& fs = state.functions[row];
    const Py_ssize_t nargs = PyTuple_GET_SIZE(args);
    const Py_ssize_t nkwargs = kwargs != nullptr ? PyDict_GET_SIZE(kwargs) : 0;
    const Py_ssize_t nparams = fs.parameter_count;

    if (nparams == 0) {
        if (nargs != 0) {
            PyErr_Format(PyExc_TypeError, "%.200s() %s (%zd given)", fn.name, "takes no arguments", nargs);
            return -1;
        }
        if (nkwargs != 0) {
            PyErr_Format(PyExc_TypeError, "%.200s() %s", fn.name, "takes no keyword arguments");
            return -1;
        }
        return 0;
    }
    if (nargs > nparams) return argument_count_error(fn, nparams, nargs);
    for (Py_ssize_t i = 0; i < nargs; ++i) bound[i] = Py_NewRef(PyTuple_GET_ITEM(args, i));
    if (nkwargs == 0) {
        return nargs == nparams ? 0 : argument_count_error(fn, nparams, nargs);
    }

    Py_ssize_t used = 0;
    for (Py_ssize_t i = nargs; i < nparams; ++i) {
        PyObject* value = PyDict_GetItemWithError(kwargs, fs.parameters[i]);
        if (value == nullptr) {
            return PyErr_Occurred() ? -1 : argument_count_error(fn, nparams, nargs);
        }
        bound[i] = Py_NewRef(value);
        ++used;
    }
    if (used == nkwargs) return 0;

    // Some keyword names no parameter left open: find the first, in order.
    Py_ssize_t position = 0;
    PyObject *key, *value;
    while (PyDict_Next(kwargs, &position, &key, &value)) {
        if (!PyUnicode_Check(key)) {
            PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", fn.name);
            return -1;
        }
        Py_INCREF(key);
        Py_ssize_t index = parameter_index(fs, key);
        int result = 0;
        if (index == -2) {
            result = -1;
        } else if (index == -1) {
            PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", fn.name, key);
            result = -1;
        } else if (index < nargs) {
            PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'", fn.name, key);
            result = -1;
        }
        Py_DECREF(key);
        if (result < 0) return -1;
    }
    // The dict changed under the comparisons; report what the caller sees now.
    PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument", fn.name);
    return -1;
}

// ---- the setup guard ----------------------------------------------------------

// The guard once `_validSetup_` was read and is not True itself.
VC_NOINLINE int check_setup_value(PyObject* valid) {
    if (valid == nullptr) return -1;  // NameError
    int open;
    if (valid == Py_False) {
        open = 0;
    } else {
        Py_INCREF(valid);  // its truth test may run code that rebinds the global
        open = PyObject_IsTrue(valid);
        Py_DECREF(valid);
        if (open < 0) return -1;
    }
    if (open) return 0;
    PyObject* error = PyObject_Call(PyExc_OSError, state.guard_arguments, nullptr);
    if (error != nullptr) {
        PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(error)), error);
        Py_DECREF(error);
    }
    return -1;
}

VC_ALWAYS_INLINE int check_setup_guard(const Module& module) {
    PyObject* valid = lookup_global(module, names::validSetup);
    return valid == Py_True ? 0 : check_setup_value(valid);
}

// ---- the entry point of every exported function ------------------------------

VC_ALWAYS_INLINE PyObject* run_body(const Function& fn, const Module& module, Args arguments) {
    try {
        PyObject* result = fn.body(module, arguments).release().ptr();
        if (result == nullptr && !PyErr_Occurred()) {
            PyErr_Format(PyExc_SystemError, "%s() returned no result", fn.name);
        }
        return result;
    } catch (...) {
        set_error_from_current_exception();
        return nullptr;
    }
}

// A call with keywords or a count of arguments other than the parameters'.
VC_NOINLINE PyObject* run_function_binding(std::size_t row, const Module& module, PyObject* args, PyObject* kwargs) {
    const Function& fn = *kFunctionTable[row];
    PyObject* result = nullptr;
    PyObject* bound[kMaxParameters] = {};
    if (bind_arguments(row, args, kwargs, bound) == 0 && (fn.guard == Guard::none || check_setup_guard(module) == 0)) {
        result = run_body(fn, module, bound);
    }
    for (PyObject* argument : bound) Py_XDECREF(argument);
    return result;
}

// The entry point of the function in row `Row`; the row is a constant of
// each entry, so a call by position reaches the body with no lookups of it.
template <std::size_t Row>
PyObject* entry(PyObject* self, PyObject* args, PyObject* kwargs) {
    const Function& fn = *kFunctionTable[Row];
    const Module module{self, self == state.module ? state.module_dict : PyModule_GetDict(self)};
    PyObject* result;
    if ((kwargs == nullptr || PyDict_GET_SIZE(kwargs) == 0) &&
        PyTuple_GET_SIZE(args) == state.functions[Row].parameter_count) {
        // All arguments by position: the tuple holds them for the whole call.
        result = fn.guard == Guard::none || check_setup_guard(module) == 0
                     ? run_body(fn, module, reinterpret_cast<PyTupleObject*>(args)->ob_item)
                     : nullptr;
    } else {
        result = run_function_binding(Row, module, args, kwargs);
    }
    if (result == nullptr) add_function_traceback(Row, module.dict);
    return result;
}

template <std::size_t... Rows>
constexpr auto make_entries(std::index_sequence<Rows...>) {
    return std::array<PyCFunctionWithKeywords, sizeof...(Rows)>{&entry<Rows>...};
}
constexpr auto kEntries = make_entries(std::make_index_sequence<kFunctionCount>{});

// ---- module creation -------------------------------------------------------------

int check_single_interpreter() {
    std::int64_t current = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (current == -1) return -1;
    std::int64_t first = -1;
    if (!state.interpreter_id.compare_exchange_strong(first, current) && first != current) {
        PyErr_SetString(PyExc_ImportError,
                        "Interpreter change detected - this module can only be loaded into one "
                        "interpreter per process.");
        return -1;
    }
    return 0;
}

// Copies spec.<from> to the module's <to>; a missing attribute is skipped, and
// so is None unless `allow_none`.
int copy_spec_attribute(PyObject* spec, PyObject* dict, const char* from, const char* to, bool allow_none) {
    PyObject* value = PyObject_GetAttrString(spec, from);
    if (value == nullptr) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
        PyErr_Clear();
        return 0;
    }
    int result = 0;
    if (allow_none || value != Py_None) result = PyDict_SetItemString(dict, to, value);
    Py_DECREF(value);
    return result;
}

PyObject* module_create(PyObject* spec, PyModuleDef*) {
    if (check_single_interpreter() < 0) return nullptr;
    if (state.module != nullptr) return Py_NewRef(state.module);

    PyObject* name = PyObject_GetAttrString(spec, "name");
    if (name == nullptr) return nullptr;
    PyObject* module = PyModule_NewObject(name);
    Py_DECREF(name);
    if (module == nullptr) return nullptr;
    PyObject* dict = PyModule_GetDict(module);
    if (copy_spec_attribute(spec, dict, "loader", "__loader__", true) < 0 ||
        copy_spec_attribute(spec, dict, "origin", "__file__", true) < 0 ||
        copy_spec_attribute(spec, dict, "parent", "__package__", true) < 0 ||
        copy_spec_attribute(spec, dict, "submodule_search_locations", "__path__", false) < 0) {
        Py_DECREF(module);
        return nullptr;
    }
    return module;
}

// ---- module execution: the module body -----------------------------------------

// Data the frame needs before any function runs: parameter names, method
// definitions, the guard's message. Made once per process.
void prepare_process_state() {
    if (state.guard_arguments != nullptr) return;
    for (std::size_t row = 0; row < kFunctionCount; ++row) {
        const Function& fn = *kFunctionTable[row];
        FunctionState& fs = state.functions[row];
        for (const char* parameter : fn.parameters) {
            if (parameter == nullptr) break;
            PyObject* interned = PyUnicode_InternFromString(parameter);
            if (interned == nullptr) throw_error();
            fs.parameters[fs.parameter_count++] = interned;
        }
        state.method_defs[row] =
            PyMethodDef{fn.name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(kEntries[row])),
                        METH_VARARGS | METH_KEYWORDS, fn.doc};
    }
    py::object message = text(kGuardMessage);
    state.guard_arguments = PyTuple_Pack(1, message.ptr());
    if (state.guard_arguments == nullptr) throw_error();
}

Name Enum_name{"Enum"};
Name enum_module{"enum"};
Name prepare_name{"__prepare__"};
Name module_dunder{"__module__"};
Name qualname_dunder{"__qualname__"};
Name All_name{"All"};

void import_global(const Module& module, const Name& name) {
    set_global(module, name, import_module(module, name));
}

// class VeltraneModule(Enum): All = -1; Tubrolis = 0; Trabexon = 1
void define_veltrane_module(const Module& module) {
    py::object bases = steal(PyTuple_Pack(1, global(module, Enum_name).ptr()));
    py::object metaclass = borrow(reinterpret_cast<PyObject*>(Py_TYPE(PyTuple_GET_ITEM(bases.ptr(), 0))));
    py::object class_name = text("VeltraneModule");
    py::object namespace_ = call_method(metaclass, prepare_name, class_name, bases);
    auto set_item = [&](py::handle key, py::handle value) {
        if (PyObject_SetItem(namespace_.ptr(), key.ptr(), value.ptr()) < 0) throw_error();
    };
    set_item(module_dunder.get(), text(kModuleName));
    set_item(qualname_dunder.get(), class_name);
    set_item(All_name.get(), steal(PyLong_FromLong(-1)));
    set_item(names::Tubrolis.get(), steal(PyLong_FromLong(0)));
    set_item(names::Trabexon.get(), steal(PyLong_FromLong(1)));
    set_global(module, names::VeltraneModule, call(metaclass, class_name, bases, namespace_));
}

void define_state_globals(const Module& module) {
    set_global(module, names::validSetup, Py_False);
    set_global(module, names::settingsPath, text("C:\\ProgramData\\Veltrane\\Tubrolis\\Settings\\Tubrolis.settings"));
    set_global(module, names::dataSourcesPath,
               text("C:\\ProgramData\\Veltrane\\Tubrolis\\Settings\\DataSources.settings"));
    set_global(module, names::CultureInfo_, Py_None);
    set_global(module, names::exePath, Py_None);
    set_global(module, names::dllPath, Py_None);
    set_global(module, names::Vazer_, Py_None);
    set_global(module, names::DiroZiziva_, Py_None);
    set_global(module, names::dlls, steal(PyList_New(0)));
    set_global(module, names::Solution_, Py_None);
    set_global(module, names::dataPath, Py_None);
    set_global(module, names::projectPath, Py_None);
    set_global(module, names::Application_, Py_None);
    set_global(module, names::commandController, Py_None);
    set_global(module, names::tempDirectory, Py_None);
}

void define_functions(const Module& module) {
    py::object module_name = text(kModuleName);
    for (std::size_t row = 0; row < kFunctionCount; ++row) {
        py::object function = steal(PyCFunction_NewEx(&state.method_defs[row], module.object, module_name.ptr()));
        if (PyDict_SetItemString(module.dict, kFunctionTable[row]->name, function.ptr()) < 0) throw_error();
    }
}

void run_module_body(const Module& module) {
    prepare_process_state();
    // Names the namespace lacks resolve in the interpreter's builtins, as they
    // would for a function of a Python module, whatever builtins a caller has.
    py::object builtins = steal(PyImport_ImportModule("builtins"));
    PyObject* builtins_dict = PyModule_GetDict(builtins.ptr());
    if (builtins_dict == nullptr || use_namespaces(module.dict, builtins_dict) < 0) throw_error();

    // Register under the full name unless an entry of that name exists.
    PyObject* modules = PyImport_GetModuleDict();
    py::object full_name = text(kModuleName);
    int registered = PyDict_Contains(modules, full_name.ptr());
    if (registered < 0) throw_error();
    if (registered == 0 && PyDict_SetItem(modules, full_name.ptr(), module.object) < 0) throw_error();

    py::object fromlist = steal(PyTuple_Pack(1, Enum_name.get()));
    py::object enum_ =
        steal(PyImport_ImportModuleLevelObject(enum_module.get(), module.dict, nullptr, fromlist.ptr(), 0));
    set_global(module, Enum_name, attr(enum_, Enum_name));
    for (const Name* name : {&names::os, &names::clr, &names::ctypes, &names::pythoncom, &names::json,
                             &names::threading, &names::shutil, &names::tempfile, &names::uuid}) {
        import_global(module, *name);
    }
    define_veltrane_module(module);
    define_state_globals(module);
    define_functions(module);
    forget_parent_state_after_fork(module);
}

int module_exec(PyObject* module) {
    if (state.module != nullptr) {
        if (state.module == module) return 0;
        PyErr_SetString(PyExc_RuntimeError,
                        "Module 'veltrane_core' has already been imported. Re-initialisation is not supported.");
        return -1;
    }
    state.module = Py_NewRef(module);
    state.module_dict = PyModule_GetDict(module);
    const Module context{module, state.module_dict};
    try {
        run_module_body(context);
        return 0;
    } catch (...) {
        set_error_from_current_exception();
    }
    add_traceback(new_frame(state.init_code, (std::string("init ") + kModuleName).c_str(), 1, context.dict));
    Py_CLEAR(state.module);  // a later import starts again from creation
    state.module_dict = nullptr;
    return -1;
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_create, reinterpret_cast<void*>(&module_create)},
    {Py_mod_exec, reinterpret_cast<void*>(&module_exec)},
    compat::interpreter_slot,
    compat::gil_slot,
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "veltrane_core",
    nullptr,  // no module docstring
    0,        // the frame's state is process-wide, see ProcessState
    nullptr,  // no table of built-in methods: the body creates the functions
    module_slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace
}  // namespace vc

PyMODINIT_FUNC PyInit_veltrane_core(void) {
    return PyModuleDef_Init(&vc::module_def);
}
