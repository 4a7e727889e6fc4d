// The packed-refs file and the ref-name rules, read as dulwich reads them
// (dulwich/refs.py: check_ref_format, read_packed_refs,
// read_packed_refs_with_peeled). Only the plain shape is read here: anything
// dulwich would read differently, or refuse, is Declined, and the caller asks
// dulwich.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string_view>

#include "store/outcome.h"

namespace store {

// check_ref_format(name): git's rules for a full ref name ("refs/heads/main").
bool valid_ref_name(std::string_view name);

// What one pass over a whole packed-refs file finds.
struct PackedRefsShape {
  // Every line is in the plain form: an optional first line beginning with
  // "#", then lines of an id's lowercase hexadecimal digits, a space and a name
  // that valid_ref_name() takes, each ending in "\n", and, when the first
  // line announces peeled refs, "^" and such an id after a ref's line.
  // dulwich reads such a file without complaint, as this reading does.
  bool plain = false;
  // The first line announces peeled refs ("# pack-refs" and " peeled").
  bool peeled = false;
  // The names ascend strictly in byte order (what the "sorted" trait
  // promises, verified here, never trusted), so a name can be looked up by
  // binary search; otherwise the file is read from end to end, the last line
  // of a name counting, as dulwich's dictionary keeps it.
  bool ascending = false;
  std::size_t first_ref = 0;         // where the first ref line begins
  std::uint32_t malformed_line = 0;  // when not plain: the first line that is not (from 1; 0 for an empty file)
};

// The pass over a whole file. An empty file is not plain (dulwich's reading
// of it raises).
PackedRefsShape check_packed_refs(std::string_view text);

// One ref's line in a packed-refs file, with the peeled line after it.
struct PackedRefLine {
  std::size_t start = 0;  // where the line begins
  std::size_t next = 0;   // where the next ref's line begins
  std::string_view hex;   // the id's lowercase hexadecimal digits
  std::string_view name;
};

// Reads the plain ref line that begins at `at` (with its "^" line when
// `peeled`); false for anything else, or for a line that runs past the end.
bool read_packed_ref_line(std::string_view text, bool peeled, std::size_t at, PackedRefLine& line);

// Each ref under a prefix: its full name and its id's hexadecimal digits.
using EachRef = std::function<void(std::string_view name, std::string_view hex)>;

// A packed-refs file whose shape was found plain. The text may be a mapping
// that changes while it is read: every line is checked again, bounds and
// form, when it is read, and one that is not plain any more declines.
class PackedRefs {
 public:
  PackedRefs(std::string_view text, const PackedRefsShape& shape) : text_(text), shape_(shape) {}

  // get_packed_refs().get(name): Found with `hex`, or Missing.
  Outcome find(std::string_view name, std::string_view& hex) const;

  // each(name, hex) once for every name beginning with `prefix`, in
  // ascending order of names.
  Outcome for_each(std::string_view prefix, const EachRef& each) const;

 private:
  bool read_line(std::size_t at, PackedRefLine& line) const {
    return read_packed_ref_line(text_, shape_.peeled, at, line);
  }
  bool record_at(std::size_t lowest, std::size_t highest, std::size_t position, PackedRefLine& line) const;
  Outcome lower_bound(std::string_view name, std::size_t& at) const;
  Outcome for_each_unordered(std::string_view prefix, const EachRef& each) const;

  std::string_view text_;
  PackedRefsShape shape_;
};

}  // namespace store
