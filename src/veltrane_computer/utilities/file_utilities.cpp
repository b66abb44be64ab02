#include "host/bridge.hpp"
#include "host/names.hpp"
#include "functions.hpp"

namespace vc {
namespace {

py::object find_first_file_body(const Module&, Args) {
    raise(PyExc_NotImplementedError, "find_first_file");
}

py::object copyDirectoryToTemp_body(const Module&, Args) {
    raise(PyExc_NotImplementedError, "copyDirectoryToTemp");
}

}  // namespace

const Function api::find_first_file{
    "find_first_file", {"directory", "ext"}, Guard::none, find_first_file_body,
    "find_first_file(directory, ext)\n\n"};

const Function api::copyDirectoryToTemp{
    "copyDirectoryToTemp", {"directory"}, Guard::none, copyDirectoryToTemp_body,
    "copyDirectoryToTemp(directory)\n\n"};

}  // namespace vc
