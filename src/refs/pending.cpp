// Placeholders until this subsystem lands: each raises NotImplementedError.
#include "refs/refs.h"

namespace refs {

namespace {
[[noreturn]] void not_built(const char* name) {
  host::raise_format(PyExc_NotImplementedError, "%s() is not implemented yet", name);
}
}  // namespace

Ref get_commit_refs_from_git_log(Service&, PyObject*, PyObject*) { not_built("get_commit_refs_from_git_log"); }
Ref get_commit_refs(Service&, PyObject*) { not_built("get_commit_refs"); }

}  // namespace refs
