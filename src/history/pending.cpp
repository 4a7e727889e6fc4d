// Placeholders until this subsystem lands: each raises NotImplementedError.
#include "history/history.h"

namespace history {

namespace {
[[noreturn]] void not_built(const char* name) {
  host::raise_format(PyExc_NotImplementedError, "%s() is not implemented yet", name);
}
}  // namespace

Ref count_commits(Service&, PyObject*) { not_built("count_commits"); }
Ref get_merge_base(Service&, PyObject*, PyObject*) { not_built("get_merge_base"); }

}  // namespace history
