#include "host/bridge.hpp"
#include "host/names.hpp"
#include "functions.hpp"

namespace vc {
namespace {

py::object DiroZizivaSolve_body(const Module&, Args) {
    raise(PyExc_NotImplementedError, "_DiroZizivaSolve");
}

}  // namespace

const Function api::DiroZizivaSolve{
    "_DiroZizivaSolve", {"tessel", "tesselFilename", "directory"}, Guard::none, DiroZizivaSolve_body,
    "_DiroZizivaSolve(tessel, tesselFilename, directory)\n\n"};

}  // namespace vc
