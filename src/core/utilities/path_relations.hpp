// How two paths of the file system relate.
#pragma once

#include "frame/frame.hpp"

namespace vc {

// True when `inner` is `outer` or lies below it; both are absolute and
// already normalised (as os.path.realpath gives them).
bool is_within(const Module& module, py::handle inner, py::handle outer);

}  // namespace vc
