// Steps shared by project folders, projects and studies.
#pragma once

#include "frame/frame.hpp"

namespace vc {

// Removes a folder and all it holds, swallowing the errors of the deletion;
// the process's current directory moves to the parent only when it lies in
// the folder removed. Always None. (project_folders.cpp)
py::object remove_folder_tree(const Module& module, py::handle folderDirectory);

// The top-left corner of a 300 by 400 area centred on a screen of the given
// size, as a host Point. (projects.cpp)
py::object centred_study_point(py::handle Point, py::handle screenWidth, py::handle screenheight);

}  // namespace vc
