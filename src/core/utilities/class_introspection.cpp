// inspectClass and findNameSpaceAndAssembly: host classes described as JSON,
// and a class name's namespace and assembly found among the installation's.
#include "frame/functions.hpp"
#include "host/bridge.hpp"
#include "host/names.hpp"

namespace vc {
namespace {

Name VeltraneClassInspector{"VeltraneClassInspector"};
Name ExportObjectToJson{"ExportObjectToJson"};
Name FindNamespaceAndAssemblyFromClassName{"FindNamespaceAndAssemblyFromClassName"};
Name Item1{"Item1"};
Name Item2{"Item2"};

py::object inspect_class_body(const Module& module, Args args) {
    load_dll(module, names::sdk_dll);
    load_dll(module, names::core_dll);
    import_from(module, names::core_namespace, names::Model);  // fails the call when the core is unusable
    py::object inspector = import_from(module, names::sdk_namespace, VeltraneClassInspector);
    return call_method(inspector, ExportObjectToJson, args[0], args[1]);
}

py::object find_namespace_and_assembly_body(const Module& module, Args args) {
    load_dll(module, names::sdk_dll);
    py::object inspector = import_from(module, names::sdk_namespace, VeltraneClassInspector);
    py::object value =
        call_method(inspector, FindNamespaceAndAssemblyFromClassName, global(module, names::dllPath), args[0]);
    if (equals_none(value)) return steal(PyTuple_Pack(2, Py_None, Py_None));
    py::object namespace_name = attr(value, Item1);
    py::object assembly = attr(value, Item2);
    return steal(PyTuple_Pack(2, namespace_name.ptr(), assembly.ptr()));
}

}  // namespace

// clang-format off
const Function api::inspectClass{
    "inspectClass", {"instance", "indent"}, Guard::setup, inspect_class_body,
    "inspectClass(instance, indent)\n\n"
    "Return a json structure with all properties and public method of an instance or a class.\n"
    "indent = True for indented json"};

const Function api::findNameSpaceAndAssembly{
    "findNameSpaceAndAssembly", {"className"}, Guard::setup, find_namespace_and_assembly_body,
    "findNameSpaceAndAssembly(className)\n\n"
    "Return the c# namespace and assembly of a className.\n"
    "Return None if doesn't exists in Tubrolis installation."};
// clang-format on

}  // namespace vc
