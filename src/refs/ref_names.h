// Ref names and ids as dulwich hands them out (bytes), read the way the
// methods read them.
#pragma once

#include <string_view>

#include "core/ids.h"
#include "host/host.h"

namespace refs {

using host::Ref;

// Where local branches' names are.
inline constexpr std::string_view kHeadsPrefix = "refs/heads/";

// name.startswith(prefix), `prefix` given as the bytes it stands for.
bool has_prefix(PyObject* name, std::string_view prefix);

// name[skip:].decode("utf-8", errors="replace")
Ref decode_after(PyObject* name, Py_ssize_t skip);

// sha.decode("ascii")
Ref ascii_text(PyObject* sha);

// bytes.fromhex(text)
Ref from_hex(PyObject* text);

// The ids of `parents` (a commit's parent list) as id texts, in order.
Ref parent_ids(PyObject* parents, core::IdFormat& format);

}  // namespace refs
