#include "host/bridge.hpp"
#include "host/names.hpp"
#include "functions.hpp"

namespace vc {
namespace {

py::object VazerSolve_body(const Module&, Args) {
    raise(PyExc_NotImplementedError, "_VazerSolve");
}

}  // namespace

const Function api::VazerSolve{
    "_VazerSolve", {"tessel", "tesselFilename", "directory"}, Guard::none, VazerSolve_body,
    "_VazerSolve(tessel, tesselFilename, directory)\n\n"};

}  // namespace vc
