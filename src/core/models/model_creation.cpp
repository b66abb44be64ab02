// createTessel and its two wrappers: a new, empty model in memory for the
// piping or the structure application, holding one layer named "0".
#include "frame/functions.hpp"
#include "host/bridge.hpp"
#include "host/names.hpp"

namespace vc {
namespace {

Name Layer{"Layer"};
Name Layers{"Layers"};
Name Add{"Add"};
Name layer0_name{"0"};

py::object createTessel_body(const Module& module, Args args) {
    py::handle kind = args[0];

    load_dll(module, names::helper_dll);
    load_dll(module, names::core_dll);
    py::object Model = import_from(module, names::core_namespace, names::Model);
    py::object LayerClass = import_from(module, names::core_namespace, Layer);
    py::object tessel = call(Model, kind);
    py::object layer0 = call(LayerClass, layer0_name);
    call_method(attr(tessel, Layers), Add, layer0);
    return tessel;
}

// The host's own member of its VeltraneModule enumeration is what the model
// is built with; the module's Python enumeration never reaches the host.
py::object create_for(const Module& module, const Name& member) {
    load_dll(module, names::sdk_dll);
    py::object VeltraneModule = import_from(module, names::sdk_namespace, names::VeltraneModule);
    return call_global(module, names::createTessel, attr(VeltraneModule, member));
}

py::object createPipingTessel_body(const Module& module, Args) {
    return create_for(module, names::Tubrolis);
}

py::object createStructureTessel_body(const Module& module, Args) {
    return create_for(module, names::Trabexon);
}

}  // namespace

// clang-format off
const Function api::createTessel{
    "createTessel", {"module"}, Guard::none, createTessel_body,
    "createTessel(module)\n"
    "\n"
    "For internal use."};

const Function api::createPipingTessel{
    "createPipingTessel", {}, Guard::setup, createPipingTessel_body,
    "createPipingTessel()\n"
    "\n"
    "Return an empty piping model with layer 0."};

const Function api::createStructureTessel{
    "createStructureTessel", {}, Guard::setup, createStructureTessel_body,
    "createStructureTessel()\n"
    "\n"
    "Return an empty structure model with layer 0."};
// clang-format on

}  // namespace vc
