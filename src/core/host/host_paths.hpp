// Paths handed to the host: the bridge takes text, not path objects.
#pragma once

#include "host/bridge.hpp"
#include "host/names.hpp"

namespace vc {

inline Name fspath{"fspath"};

// os.fspath(path): a path object (pathlib.Path, any os.PathLike) as its text;
// a str or bytes path as it is.
inline py::object host_path(const Module& module, py::handle path) {
    return call_method(global(module, names::os), fspath, path);
}

}  // namespace vc
