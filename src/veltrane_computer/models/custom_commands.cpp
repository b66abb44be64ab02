#include "host/bridge.hpp"
#include "host/names.hpp"
#include "functions.hpp"

namespace vc {
namespace {

py::object createCommand_body(const Module&, Args) {
    raise(PyExc_NotImplementedError, "createCommand");
}

py::object executeCommand_body(const Module&, Args) {
    raise(PyExc_NotImplementedError, "executeCommand");
}

}  // namespace

const Function api::createCommand{
    "createCommand", {"commandName", "tessel"}, Guard::setup, createCommand_body,
    "createCommand(commandName, tessel)\n\n"};

const Function api::executeCommand{
    "executeCommand", {"command"}, Guard::setup, executeCommand_body,
    "executeCommand(command)\n\n"};

}  // namespace vc
