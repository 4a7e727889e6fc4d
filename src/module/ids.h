// Commit and object ids as the host sees them.
#pragma once

#include "host/host.h"

namespace module {

// The id text of an id held as bytes: 40 bytes (hexadecimal digits) are
// decoded as ASCII (strictly: other bytes raise UnicodeDecodeError); any other
// length, the 20-byte raw id included, is written out as bytes.hex() does.
// `id` must be bytes (subclasses included).
host::Ref id_text(PyObject* id);

}  // namespace module
