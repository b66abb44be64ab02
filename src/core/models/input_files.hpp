// The solver input file of a model, shared by the writer and the DiroZiziva run.
#pragma once

#include "frame/frame.hpp"

namespace vc {

// The input file for `tesselFilename` in `directory`: the one named after the
// model when it exists, otherwise the directory's "conception.fre", whether
// or not that one exists. (fre_writer.cpp)
py::object input_file_in(const Module& module, py::handle directory, py::handle tesselFilename);

}  // namespace vc
