// Turning walked commit ids into id texts.
#pragma once

#include <optional>
#include <string_view>

#include "core/ids.h"
#include "history/id_set.h"
#include "host/host.h"

namespace history {

using core::IdFormat;
using host::Ref;

// The id text of a walked id where only the library's forms are expected
// (counting, the remote-commit set, the merge-base fallback): bytes by the id
// text rule, a str unchanged, anything else its str().
Ref walked_id_text(PyObject* id, IdFormat& format);

// The listing's id text: bytes by the id text rule; otherwise the result of
// the id's `hex()` when it has one, else a str unchanged or the str() of
// anything else; and an int or float whose text is not all hexadecimal
// digits is written as format(int(id), "040x").
Ref listing_id_text(PyObject* id, IdFormat& format);

// The id text of an exact bytes id of 40 ASCII characters (or 64 in a SHA-256
// repository) is those very characters: its content, without making a str.
// Empty for any other id (which then needs its text made).
std::optional<std::string_view> id_text_content(PyObject* id, IdFormat& format);

}  // namespace history
