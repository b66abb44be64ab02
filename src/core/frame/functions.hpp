// The exported functions, one row each; each is defined in the source file of
// its concern and listed in table order by the module frame.
#pragma once

#include "frame/frame.hpp"

namespace vc::api {

// setup/setup.cpp, setup/assembly_loading.cpp
extern const Function setup_veltrane_computer;
extern const Function load_dll;
extern const Function load_dll_c;
// settings/solver_paths.cpp
extern const Function FindSolverPaths;
extern const Function FindDataProjectPaths;
// models/model_files.cpp
extern const Function loadTessel;
extern const Function saveTessel;
extern const Function getTessel;
// models/model_creation.cpp
extern const Function createTessel;
extern const Function createPipingTessel;
extern const Function createStructureTessel;
// solving/solve_dispatch.cpp, solving/solution_lifetime.cpp
extern const Function solve;
extern const Function disposeSolution;
extern const Function solvePipingModel;
extern const Function solveStructureModel;
// solving/diroziziva_run.cpp, solving/vazer_run.cpp
extern const Function DiroZizivaSolve;
extern const Function VazerSolve;
// utilities/file_utilities.cpp
extern const Function find_first_file;
extern const Function copyDirectoryToTemp;
// utilities/class_introspection.cpp
extern const Function inspectClass;
extern const Function findNameSpaceAndAssembly;
// models/fre_writer.cpp, models/custom_commands.cpp
extern const Function writeFreFile;
extern const Function createCommand;
extern const Function executeCommand;
// projects/project_folders.cpp, projects/projects.cpp, projects/studies.cpp
extern const Function addProjectFolder;
extern const Function removeProjectFolder;
extern const Function addProject;
extern const Function addPipingProject;
extern const Function addStructureProject;
extern const Function removeProject;
extern const Function addStudy;
extern const Function addPipingStudy;
extern const Function addStructureStudy;
extern const Function removeStudy;
extern const Function duplicateStudy;

}  // namespace vc::api
