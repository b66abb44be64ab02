// solve, solvePipingModel and solveStructureModel: check the request, prepare
// the sandbox, route the model to its solver and run the solver's worker on a
// thread of its own, handing back what the worker left in _Solution_.
#include "frame/functions.hpp"
#include "host/bridge.hpp"
#include "host/names.hpp"
#include "solving/worker_runs.hpp"

namespace vc {
namespace {

Name str_name{"str"};
Name curdir{"curdir"};
Name solvePipingModel{"solvePipingModel"};
Name solveStructureModel{"solveStructureModel"};
Name VazerSolve{"_VazerSolve"};
Name DiroZizivaSolve{"_DiroZizivaSolve"};

py::object copy_file(const Module& module, py::handle source, py::handle destination) {
    return call_method(global(module, names::shutil), names::copy, source, destination);
}

// os.path.join(tempfile.gettempdir(), str(uuid.uuid4()))
py::object new_sandbox_name(const Module& module) {
    py::object temp = call_method(global(module, names::tempfile), names::gettempdir);
    py::object id = call_global(module, str_name, call_method(global(module, names::uuid), names::uuid4));
    return path_join(module, temp, id);
}

// The folder a model file lives in; a bare file name lives in the current
// directory, which os.path.dirname reports as the empty string.
py::object model_folder(const Module& module, py::handle filename) {
    py::object folder = os_path_call(module, names::dirname, filename);
    if (equals(folder, text(""))) return attr(global(module, names::os), curdir);
    return folder;
}

// Assumes the SDK declares Model.CalculationCode with a class type: the bridge
// then hands the code back under its own class (PipingCode, StructureCode) and
// isinstance holds. Were it declared as an interface, the bridge would wrap it
// as that interface, the test would fail for every model and solve would
// return None without a word.
bool is_code(py::handle tessel, py::handle code_class) {
    return is_instance(attr(tessel, names::CalculationCode), code_class);
}

// The checks both model solvers open with: a tessel whose calculation code is
// of the host's class `code_class`; then the previous solution is dropped
// (disposing of it is disposeSolution's business).
void require_model_of_kind(const Module& module, py::handle tessel, const Name& code_class, const char* refusal) {
    if (equals_none(tessel)) raise(PyExc_OSError, "Invalid tessel.");
    load_dll(module, names::core_dll);
    if (!is_code(tessel, import_from(module, names::core_namespace, code_class))) raise(PyExc_OSError, refusal);
    set_global(module, names::Solution_, Py_None);
}

// Runs the worker, looked up by name now, on a daemon thread of its own and
// waits for it without a time limit. An error of the worker ends that thread
// only and is reported by the interpreter's thread-exception handling.
void run_worker(const Module& module, const Name& worker, py::handle tessel, py::handle tesselFilename,
                py::handle directory) {
    py::object arguments = steal(PyTuple_Pack(3, tessel.ptr(), tesselFilename.ptr(), directory.ptr()));
    run_worker_thread(module, global(module, worker), arguments);
}

py::object solve_body(const Module& module, Args args) {
    py::handle filename = args[0];
    py::handle solvername = args[1];
    py::handle sandbox = args[2];

    if (!path_exists(module, filename)) {
        vc::print(module, text("Invalid filename"));
        return py::none();
    }
    call_global(module, names::disposeSolution);

    py::object tesselFilename = borrow(filename.ptr());
    py::object frefilename = with_extension(module, tesselFilename, text(".fre"));
    if (!path_exists(module, frefilename)) {
        frefilename = path_join(module, os_path_call(module, names::dirname, tesselFilename), text("conception.fre"));
    }
    py::object thffile =
        call_global(module, names::find_first_file, model_folder(module, tesselFilename), text(".thf"));

    py::object directory = truth(sandbox) ? new_sandbox_name(module) : model_folder(module, tesselFilename);
    if (!path_exists(module, directory)) {
        call_method(global(module, names::os), names::makedirs, directory);
        // Recorded at once, so that the next solve removes it also when the copying fails.
        set_global(module, names::tempDirectory, directory);
        tesselFilename = path_join(module, directory, os_path_call(module, names::basename, filename));
        copy_file(module, filename, tesselFilename);
        if (path_exists(module, frefilename)) {
            copy_file(module, frefilename,
                      path_join(module, directory, os_path_call(module, names::basename, frefilename)));
        }
        if (path_exists(module, thffile)) {
            copy_file(module, thffile, path_join(module, directory, os_path_call(module, names::basename, thffile)));
        }
    }

    py::object tessel = call_global(module, names::loadTessel, tesselFilename);
    if (equals_none(tessel)) {
        vc::print(module, text("Invalid tessel"));
        return py::none();
    }

    load_dll(module, names::core_dll);
    py::object PipingCode = import_from(module, names::core_namespace, names::PipingCode);
    py::object StructureCode = import_from(module, names::core_namespace, names::StructureCode);
    if (is_code(tessel, PipingCode)) {
        call_global(module, solvePipingModel, tessel, tesselFilename, solvername, directory);
        return global(module, names::Solution_);
    }
    if (is_code(tessel, StructureCode)) {
        call_global(module, solveStructureModel, tessel, tesselFilename, directory);
        return global(module, names::Solution_);
    }
    return py::none();
}

// A Vazer run on the worker thread, piping or structure alike; None without
// a word when the settings name no Vazer solver.
py::object run_vazer(const Module& module, py::handle tessel, py::handle tesselFilename, py::handle directory) {
    if (equals_none(global(module, names::Vazer_))) return py::none();
    load_dll(module, names::sdk_dll);
    load_dll(module, names::helper_dll);
    load_dll(module, names::vazer_dll);
    run_worker(module, VazerSolve, tessel, tesselFilename, directory);
    return global(module, names::Solution_);
}

py::object solvePipingModel_body(const Module& module, Args args) {
    py::handle tessel = args[0];
    py::handle tesselFilename = args[1];
    py::handle solvername = args[2];
    py::handle directory = args[3];

    require_model_of_kind(module, tessel, names::PipingCode, "The tessel is not a piping model.");
    if (equals(solvername, text("Vazer"))) return run_vazer(module, tessel, tesselFilename, directory);
    if (equals(solvername, text("DiroZiziva"))) {
        if (equals_none(global(module, names::DiroZiziva_))) return py::none();
        load_dll(module, names::sdk_dll);
        load_dll(module, names::diroziziva_dll);
        run_worker(module, DiroZizivaSolve, tessel, tesselFilename, directory);
        return global(module, names::Solution_);
    }
    vc::print(module, text("Invalid solver name. use 'Vazer' or 'DiroZiziva'."));
    return py::none();
}

py::object solveStructureModel_body(const Module& module, Args args) {
    py::handle tessel = args[0];
    py::handle tesselFilename = args[1];
    py::handle directory = args[2];

    require_model_of_kind(module, tessel, names::StructureCode, "The tessel is not a structure model.");
    return run_vazer(module, tessel, tesselFilename, directory);
}

}  // namespace

// clang-format off
const Function api::solve{
    "solve", {"filename", "solvername", "sandbox"}, Guard::setup, solve_body,
    "solve(filename, solvername, sandbox)\n"
    "\n"
    "Solve a piping/structure tesseL with use of a solver in a sandbox or not.\n"
    "solvername can be 'Vazer' or 'DiroZiziva'.\n"
    "The path of the selected solver must exist in Tubrolis's settings.\n"
    "Return a Solution object or None if invalid filename or solvername."};

const Function api::solvePipingModel{
    "solvePipingModel", {"tessel", "tesselFilename", "solvername", "directory"}, Guard::setup,
    solvePipingModel_body,
    "solvePipingModel(tessel, tesselFilename, solvername, directory)\n"
    "\n"
    "Solve a piping tesseL with use of a solver.\n"
    "solvername can be 'Vazer' or 'DiroZiziva'.\n"
    "The path of the selected solver must exist in Tubrolis's settings.\n"
    "Return a Solution object."};

const Function api::solveStructureModel{
    "solveStructureModel", {"tessel", "tesselFilename", "directory"}, Guard::setup, solveStructureModel_body,
    "solveStructureModel(tessel, tesselFilename, directory)\n"
    "\n"
    "Solve a structure tesseL with use of a Vazer solver.\n"
    "The path of Vazer solver must exist in Tubrolis's settings.\n"
    "Return a Solution object."};
// clang-format on

}  // namespace vc
