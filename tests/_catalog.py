"""What the tests know of the module's surface: the function table in its
order and the setup guard's message, kept here once."""

GUARD_MESSAGE = (
    "Invalid setup! Please call 'from veltrane_computer import setup_veltrane_computer' "
    "and set up with Tubrolis installation directory."
)

# name, parameters, guarded: the function table in its order.
TABLE = [
    ("setup_veltrane_computer", ("tubrolis_installation_directory", "veltraneModule"), False),
    ("load_dll", ("dllname",), True),
    ("load_dll_c", ("dllname",), True),
    ("FindSolverPaths", ("settings",), False),
    ("FindDataProjectPaths", ("dataSources",), False),
    ("loadTessel", ("tesselFilename",), True),
    ("saveTessel", ("tessel", "tesselFilename"), True),
    ("getTessel", ("directory",), True),
    ("createTessel", ("module",), False),
    ("createPipingTessel", (), True),
    ("createStructureTessel", (), True),
    ("solve", ("filename", "solvername", "sandbox"), True),
    ("disposeSolution", (), False),
    ("solvePipingModel", ("tessel", "tesselFilename", "solvername", "directory"), True),
    ("solveStructureModel", ("tessel", "tesselFilename", "directory"), True),
    ("_DiroZizivaSolve", ("tessel", "tesselFilename", "directory"), False),
    ("_VazerSolve", ("tessel", "tesselFilename", "directory"), False),
    ("find_first_file", ("directory", "ext"), False),
    ("copyDirectoryToTemp", ("directory",), False),
    ("inspectClass", ("instance", "indent"), True),
    ("findNameSpaceAndAssembly", ("className",), True),
    ("writeFreFile", ("tessel", "tesselFilename"), True),
    ("createCommand", ("commandName", "tessel"), True),
    ("executeCommand", ("command",), True),
    ("addProjectFolder", ("directory", "folderName"), True),
    ("removeProjectFolder", ("folderDirectory",), True),
    ("addProject", ("directory", "projectName", "studyName", "screenWidth", "screenheight", "module"), False),
    ("addPipingProject", ("directory", "projectName", "studyName", "screenWidth", "screenheight"), True),
    ("addStructureProject", ("directory", "projectName", "studyName", "screenWidth", "screenheight"), True),
    ("removeProject", ("projectDirectory",), True),
    ("addStudy", ("projectDirectory", "studyName", "screenWidth", "screenheight", "module"), False),
    ("addPipingStudy", ("projectDirectory", "studyName", "screenWidth", "screenheight"), True),
    ("addStructureStudy", ("projectDirectory", "studyName", "screenWidth", "screenheight"), True),
    ("removeStudy", ("projectDirectory", "studyName"), True),
    ("duplicateStudy", ("projectDirectory", "studyName", "copyStudyName"), True),
]
PARAMETERS = {name: parameters for name, parameters, _ in TABLE}
GUARDED = [name for name, _, guarded in TABLE if guarded]
