#include "host/bridge.hpp"
#include "host/names.hpp"
#include "functions.hpp"

namespace vc {
namespace {

py::object inspectClass_body(const Module&, Args) {
    raise(PyExc_NotImplementedError, "inspectClass");
}

py::object findNameSpaceAndAssembly_body(const Module&, Args) {
    raise(PyExc_NotImplementedError, "findNameSpaceAndAssembly");
}

}  // namespace

const Function api::inspectClass{
    "inspectClass", {"instance", "indent"}, Guard::setup, inspectClass_body,
    "inspectClass(instance, indent)\n\n"};

const Function api::findNameSpaceAndAssembly{
    "findNameSpaceAndAssembly", {"className"}, Guard::setup, findNameSpaceAndAssembly_body,
    "findNameSpaceAndAssembly(className)\n\n"};

}  // namespace vc
