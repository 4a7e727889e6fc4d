// What both roads of the file status share: the records' status words and the
// native keys their paths are compared and sorted by.
#pragma once

#include <cstdint>
#include <string>

#include "host/host.h"

namespace status {

// What a file status record says happened to its path.
enum class Change : std::uint8_t { Modified, Staged, Deleted, Untracked, Renamed, Copied };

// The record's `status` word of a change: "modified", "staged", "deleted",
// "untracked", "renamed" or "copied".
const host::Interned& status_word(Change change);

// The text's code points written as UTF-8 (lone surrogates as their three
// bytes), appended to `out`: a native key with the equality of the host's
// str, whose byte order is the str's code-point order.
void append_utf8(const host::Text& text, std::string& out);

// The key of a whole str, as append_utf8 writes it.
std::string utf8_key(PyObject* text);

}  // namespace status
