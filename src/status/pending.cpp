// Placeholders until this subsystem lands: each raises NotImplementedError.
#include "status/status.h"

namespace status {

namespace {
[[noreturn]] void not_built(const char* name) {
  host::raise_format(PyExc_NotImplementedError, "%s() is not implemented yet", name);
}
}  // namespace

Ref compile_gitignore_patterns(Service&) { not_built("compile_gitignore_patterns"); }
Ref is_path_ignored(Service&, PyObject*, PyObject*) { not_built("is_path_ignored"); }
Ref is_directory_ignored(Service&, PyObject*, PyObject*) { not_built("is_directory_ignored"); }
Ref is_ignored(Service&, PyObject*) { not_built("is_ignored"); }
Ref build_head_file_map(Service&, PyObject*, PyObject*) { not_built("build_head_file_map"); }
Ref get_file_status(Service&) { not_built("get_file_status"); }

}  // namespace status
