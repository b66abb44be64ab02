// createCommand and executeCommand: one of the host's named custom commands
// run on a model by the module's command controller. The model is neither
// saved nor reloaded afterwards; the caller saves it.
#include "frame/functions.hpp"
#include "host/bridge.hpp"
#include "host/names.hpp"

namespace vc {
namespace {

Name CustomCommand{"CustomCommand"};
Name model{"model"};
Name AddCommand{"AddCommand"};
Name NeedToReloadModelAfterCommand{"NeedToReloadModelAfterCommand"};
Name NeedToSaveModelAfterCommand{"NeedToSaveModelAfterCommand"};

py::object createCommand_body(const Module& module, Args args) {
    py::handle commandName = args[0];
    py::handle tessel = args[1];

    load_dll(module, names::core_dll);
    py::object CommandClass = import_from(module, names::core_namespace, CustomCommand);
    // The controller runs every command on its current model, so it stays
    // bound to this tessel until the next createCommand.
    set_attr(global(module, names::commandController), model, tessel);
    py::object command = call(CommandClass, tessel, commandName);
    set_attr(command, NeedToReloadModelAfterCommand, Py_False);
    set_attr(command, NeedToSaveModelAfterCommand, Py_False);
    return command;
}

py::object executeCommand_body(const Module& module, Args args) {
    call_method(global(module, names::commandController), AddCommand, args[0]);
    return py::none();
}

}  // namespace

// clang-format off
const Function api::createCommand{
    "createCommand", {"commandName", "tessel"}, Guard::setup, createCommand_body,
    "createCommand(commandName, tessel)\n"
    "\n"
    "Create a custom command based on its name."};

const Function api::executeCommand{
    "executeCommand", {"command"}, Guard::setup, executeCommand_body,
    "executeCommand(command)\n"
    "\n"
    "Execute the custom command on current tesseL. You need to save the tesseL manually!"};
// clang-format on

}  // namespace vc
