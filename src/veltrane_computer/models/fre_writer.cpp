#include "host/bridge.hpp"
#include "host/names.hpp"
#include "functions.hpp"

namespace vc {
namespace {

py::object writeFreFile_body(const Module&, Args) {
    raise(PyExc_NotImplementedError, "writeFreFile");
}

}  // namespace

const Function api::writeFreFile{
    "writeFreFile", {"tessel", "tesselFilename"}, Guard::setup, writeFreFile_body,
    "writeFreFile(tessel, tesselFilename)\n\n"};

}  // namespace vc
