// The .NET culture of the running thread.
#pragma once

#include "host/bridge.hpp"
#include "host/names.hpp"

namespace vc {

// Thread.CurrentThread.CurrentCulture and CurrentUICulture set to the global
// _CultureInfo_, read afresh for each; a culture applies to one thread only.
inline void apply_culture_to_current_thread(const Module& module) {
    py::object Thread = import_from(module, names::threading_namespace, names::Thread);
    set_attr(attr(Thread, names::CurrentThread), names::CurrentCulture, global(module, names::CultureInfo_));
    set_attr(attr(Thread, names::CurrentThread), names::CurrentUICulture, global(module, names::CultureInfo_));
}

}  // namespace vc
