// Placeholders until this subsystem lands: each raises NotImplementedError.
#include "history/history.h"

namespace history {

namespace {
[[noreturn]] void not_built(const char* name) {
  host::raise_format(PyExc_NotImplementedError, "%s() is not implemented yet", name);
}
}  // namespace

Ref get_remote_commits(Service&, PyObject*) { not_built("get_remote_commits"); }
Ref list_commits(Service&, PyObject*, int, int, PyObject*) { not_built("list_commits"); }
Ref count_commits(Service&, PyObject*) { not_built("count_commits"); }
Ref get_merge_base(Service&, PyObject*, PyObject*) { not_built("get_merge_base"); }

}  // namespace history
