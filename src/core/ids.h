// Commit and object ids, and ref names, as the host sees them.
#pragma once

#include <optional>
#include <string_view>

#include "host/host.h"
#include "store/object_id.h"

namespace core {

// One of "0123456789abcdefABCDEF".
inline bool is_hex_digit(Py_UCS4 ch) {
  return (ch >= '0' && ch <= '9') || (ch >= 'a' && ch <= 'f') || (ch >= 'A' && ch <= 'F');
}

// f"{prefix}{branch}".encode(): the full ref name of a branch (None gives
// "None"), as library lookups take it. Raises for text UTF-8 cannot encode.
host::Ref ref_name(std::string_view prefix, PyObject* branch);

// The id text of an id held as bytes: 40 bytes (hexadecimal digits) are
// decoded as ASCII (strictly: other bytes raise UnicodeDecodeError); any other
// length, the 20-byte raw id included, is written out as bytes.hex() does.
// `id` must be bytes (subclasses included).
host::Ref id_text(PyObject* id);

// The id that 40 lowercase hexadecimal digits in exact bytes spell, the form
// in which the library gives ids (a ref's target, a tree's id): the form the
// native object store takes. Anything else is left to the library.
std::optional<store::ObjectId> hex_object_id(PyObject* id);

// The same for an exact str: an id text such as a walk hands out.
std::optional<store::ObjectId> text_object_id(PyObject* text);

}  // namespace core
