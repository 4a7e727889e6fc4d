// Placeholders until this subsystem lands: each raises NotImplementedError.
#include "status/status.h"

namespace status {

namespace {
[[noreturn]] void not_built(const char* name) {
  host::raise_format(PyExc_NotImplementedError, "%s() is not implemented yet", name);
}
}  // namespace

Ref get_file_status(Service&) { not_built("get_file_status"); }

}  // namespace status
