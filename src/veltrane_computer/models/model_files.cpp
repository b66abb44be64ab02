#include "host/bridge.hpp"
#include "host/names.hpp"
#include "functions.hpp"

namespace vc {
namespace {

py::object loadTessel_body(const Module&, Args) {
    raise(PyExc_NotImplementedError, "loadTessel");
}

py::object saveTessel_body(const Module&, Args) {
    raise(PyExc_NotImplementedError, "saveTessel");
}

py::object getTessel_body(const Module&, Args) {
    raise(PyExc_NotImplementedError, "getTessel");
}

}  // namespace

const Function api::loadTessel{
    "loadTessel", {"tesselFilename"}, Guard::setup, loadTessel_body,
    "loadTessel(tesselFilename)\n\n"};

const Function api::saveTessel{
    "saveTessel", {"tessel", "tesselFilename"}, Guard::setup, saveTessel_body,
    "saveTessel(tessel, tesselFilename)\n\n"};

const Function api::getTessel{
    "getTessel", {"directory"}, Guard::setup, getTessel_body,
    "getTessel(directory)\n\n"};

}  // namespace vc
