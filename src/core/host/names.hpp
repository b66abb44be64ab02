// Names shared by several subsystems: module globals, standard-library
// members and the host's assemblies and namespaces. A name used by one source
// file only is declared in that file.
#pragma once

#include "host/bridge.hpp"

namespace vc::names {

// Module globals.
inline Name validSetup{"_validSetup_"};
inline Name settingsPath{"_settingsPath_"};
inline Name dataSourcesPath{"_dataSourcesPath_"};
inline Name CultureInfo_{"_CultureInfo_"};
inline Name exePath{"_exePath_"};
inline Name dllPath{"_dllPath_"};
inline Name Vazer_{"_Vazer_"};
inline Name DiroZiziva_{"_DiroZiziva_"};
inline Name dlls{"_dlls_"};
inline Name Solution_{"_Solution_"};
inline Name dataPath{"_dataPath_"};
inline Name projectPath{"_projectPath_"};
inline Name Application_{"_Application_"};
inline Name commandController{"_commandController_"};
inline Name tempDirectory{"_tempDirectory_"};

// Standard-library modules bound in the namespace, and their members.
inline Name os{"os"};
inline Name path{"path"};
inline Name exists{"exists"};
inline Name isdir{"isdir"};
inline Name isfile{"isfile"};
inline Name join{"join"};
inline Name dirname{"dirname"};
inline Name basename{"basename"};
inline Name splitext{"splitext"};
inline Name makedirs{"makedirs"};
inline Name listdir{"listdir"};
inline Name remove{"remove"};
inline Name chdir{"chdir"};
inline Name getcwd{"getcwd"};
inline Name abspath{"abspath"};
inline Name realpath{"realpath"};
inline Name islink{"islink"};
inline Name endswith{"endswith"};
inline Name shutil{"shutil"};
inline Name rmtree{"rmtree"};
inline Name copy{"copy"};
inline Name copytree{"copytree"};
inline Name tempfile{"tempfile"};
inline Name gettempdir{"gettempdir"};
inline Name uuid{"uuid"};
inline Name uuid4{"uuid4"};
inline Name threading{"threading"};
inline Name clr{"clr"};
inline Name AddReference{"AddReference"};
inline Name pythoncom{"pythoncom"};
inline Name ctypes{"ctypes"};
inline Name json{"json"};
inline Name append{"append"};
inline Name ignore_errors{"ignore_errors"};

// Module functions called by name.
inline Name load_dll{"load_dll"};
inline Name find_first_file{"find_first_file"};
inline Name writeFreFile{"writeFreFile"};
inline Name loadTessel{"loadTessel"};
inline Name disposeSolution{"disposeSolution"};
inline Name createTessel{"createTessel"};
inline Name addProject{"addProject"};
inline Name addStudy{"addStudy"};

// Host assemblies.
inline Name sdk_dll{"Veltrane.SDK.dll"};
inline Name helper_dll{"Veltrane.Helper.dll"};
inline Name core_dll{"Veltrane.Tubrolis.Core.dll"};
inline Name vazer_dll{"Veltrane.Vazer.Core.dll"};
inline Name diroziziva_dll{"Veltrane.DiroZiziva.Core.dll"};
inline Name project_dll{"Veltrane.Tubrolis.Project.dll"};
inline Name mscorlib{"mscorlib"};

// Host namespaces and the classes taken from several of them.
inline Name sdk_namespace{"Veltrane.SDK"};
inline Name core_namespace{"Veltrane.Tubrolis.Core"};
inline Name vazer_namespace{"Veltrane.Vazer.Core"};
inline Name diroziziva_namespace{"Veltrane.DiroZiziva.Core"};
inline Name project_namespace{"Veltrane.Tubrolis.Project"};
inline Name threading_namespace{"System.Threading"};
inline Name windows_namespace{"System.Windows"};
inline Name VeltraneModule{"VeltraneModule"};
inline Name Tubrolis{"Tubrolis"};
inline Name Trabexon{"Trabexon"};
inline Name Model{"Model"};
inline Name Solution{"Solution"};
inline Name PipingCode{"PipingCode"};
inline Name StructureCode{"StructureCode"};
inline Name CalculationCode{"CalculationCode"};
inline Name ProjectViewModel{"ProjectViewModel"};
inline Name Point{"Point"};
inline Name Thread{"Thread"};
inline Name CurrentThread{"CurrentThread"};
inline Name CurrentCulture{"CurrentCulture"};
inline Name CurrentUICulture{"CurrentUICulture"};
inline Name Dispose{"Dispose"};
inline Name IgnoreWarnings{"IgnoreWarnings"};
inline Name Run{"Run"};
inline Name LoadFromFile{"LoadFromFile"};

}  // namespace vc::names
