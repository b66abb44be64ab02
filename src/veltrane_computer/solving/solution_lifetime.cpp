#include "host/bridge.hpp"
#include "host/names.hpp"
#include "functions.hpp"

namespace vc {
namespace {

py::object disposeSolution_body(const Module&, Args) {
    raise(PyExc_NotImplementedError, "disposeSolution");
}

}  // namespace

const Function api::disposeSolution{
    "disposeSolution", {}, Guard::none, disposeSolution_body,
    "disposeSolution()\n\n"};

}  // namespace vc
