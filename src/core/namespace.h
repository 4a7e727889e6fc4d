// The module's own namespace, where methods look up the names bound at import.
#pragma once

#include "host/host.h"

namespace core {

inline constexpr const char* kModuleName = "git_service_cython";

// Remembers the module's namespace once the execute step has filled it.
void set_namespace(PyObject* module_dict);

// A name of the module namespace, looked up at use as module code does:
// the namespace first, then the host's built-in names, else NameError.
host::Ref global(const host::Interned& name);

}  // namespace core
