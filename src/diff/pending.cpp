// Placeholders until this subsystem lands: each raises NotImplementedError.
#include "diff/diff.h"

namespace diff {

namespace {
[[noreturn]] void not_built(const char* name) {
  host::raise_format(PyExc_NotImplementedError, "%s() is not implemented yet", name);
}
}  // namespace

Ref list_stashes(Service&) { not_built("list_stashes"); }
Ref get_stash_diff(Service&, int) { not_built("get_stash_diff"); }

}  // namespace diff
