#include "host/bridge.hpp"
#include "host/names.hpp"
#include "functions.hpp"

namespace vc {
namespace {

py::object createTessel_body(const Module&, Args) {
    raise(PyExc_NotImplementedError, "createTessel");
}

py::object createPipingTessel_body(const Module&, Args) {
    raise(PyExc_NotImplementedError, "createPipingTessel");
}

py::object createStructureTessel_body(const Module&, Args) {
    raise(PyExc_NotImplementedError, "createStructureTessel");
}

}  // namespace

const Function api::createTessel{
    "createTessel", {"module"}, Guard::none, createTessel_body,
    "createTessel(module)\n\n"};

const Function api::createPipingTessel{
    "createPipingTessel", {}, Guard::setup, createPipingTessel_body,
    "createPipingTessel()\n\n"};

const Function api::createStructureTessel{
    "createStructureTessel", {}, Guard::setup, createStructureTessel_body,
    "createStructureTessel()\n\n"};

}  // namespace vc
