#include "utilities/path_relations.hpp"

#include "host/bridge.hpp"
#include "host/names.hpp"

namespace vc {
namespace {

Name fsdecode{"fsdecode"};
Name normcase{"normcase"};
Name sep{"sep"};
Name startswith{"startswith"};

// `path` in the form used to compare paths: text (a bytes path decoded as
// the file system does), case folded where the platform ignores case.
py::object comparable(const Module& module, py::handle path) {
    return os_path_call(module, normcase, call_method(global(module, names::os), fsdecode, path));
}

}  // namespace

bool is_within(const Module& module, py::handle inner, py::handle outer) {
    py::object a = comparable(module, inner);
    py::object b = comparable(module, outer);
    if (equals(a, b)) return true;
    py::object separator = attr(os_path(module), sep);
    // A root ("/", "C:\\") already ends with the separator.
    py::object prefix = truth(call_method(b, names::endswith, separator)) ? b : concat(b, separator);
    return truth(call_method(a, startswith, prefix));
}

}  // namespace vc
