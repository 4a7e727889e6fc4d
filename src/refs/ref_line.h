// What the branch, remote-branch and tag listings share: reading one line of
// `git for-each-ref` output, its timestamp field, and the one order the panes
// show (dated records newest first, then undated ones, each by lower-cased name).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <optional>
#include <vector>

#include "core/records.h"
#include "host/host.h"

namespace refs {

using host::Ref;
using host::Text;

// One line of `git for-each-ref` output: the pieces of line.split("|"), of
// which the first kMaxFields are kept as views.
class RefLine {
 public:
  static constexpr std::size_t kMaxFields = 5;

  // Splits `line`, which holds at least one "|".
  explicit RefLine(Text line);

  // pieces[i].strip() when there are more than i pieces, else an empty view.
  Text field(std::size_t i) const;

 private:
  Text line_;
  std::size_t size_ = 0;  // len(line.split("|")), counted up to kMaxFields + 1
  std::array<Py_ssize_t, kMaxFields> begin_{};
  std::array<Py_ssize_t, kMaxFields> end_{};
};

// The number of lines in `output`, an upper bound of the records it gives.
std::size_t count_lines(Text output);

// Calls `each(RefLine)` for every line of output.strip().split("\n") that is
// neither empty nor without a "|", in order.
template <class Each>
void for_each_ref_line(Text output, Each&& each) {
  Text lines = output.strip();
  if (lines.empty()) return;
  lines.split('\n', [&](Text line) {
    if (line.find('|') != Text::npos) each(RefLine(line));
  });
}

// A commit or tag time in Unix seconds. Values past 64 bits (git prints
// whatever digits the object holds) are kept as the host's int.
class Timestamp {
 public:
  Timestamp() = default;
  explicit Timestamp(std::int64_t seconds) : seconds_(seconds) {}

  // The timestamp field's rule: int(text) when text.isdigit(), else 0. A text
  // that passes isdigit but that int() refuses (superscript digits) raises
  // the host's ValueError.
  static Timestamp parse(Text text);

  bool is_zero() const { return !big_ && seconds_ == 0; }
  // The value when it fits in 64 bits.
  std::optional<std::int64_t> small_value() const {
    return big_ ? std::nullopt : std::optional<std::int64_t>(seconds_);
  }
  // The value as the host's int.
  Ref object() const;
  // self > other
  bool later_than(const Timestamp& other) const;

 private:
  std::int64_t seconds_ = 0;
  Ref big_;  // set when the value does not fit in 64 bits
};

// Makes the records of one listing. The class is looked up in the module
// namespace when the first record is made, where the listing first names it.
class Records {
 public:
  explicit Records(core::Record kind) : kind_(kind) {}
  Ref make(std::initializer_list<PyObject*> values) {
    if (!maker_) maker_.emplace(kind_);
    return maker_->make(values);
  }

 private:
  core::Record kind_;
  std::optional<core::RecordMaker> maker_;
};

// The records of one listing with their sort keys, in the order they were
// added, ready to be handed out sorted.
class Listing {
 public:
  bool empty() const { return entries_.empty(); }
  void reserve(std::size_t count) { entries_.reserve(count); }

  // Keeps `record`, whose name is `name` (a str) and time `timestamp`.
  void add(Ref record, PyObject* name, Timestamp timestamp);

  // A new list of the records sorted by (timestamp == 0, -timestamp,
  // name.lower()), stable; names compared by code point.
  Ref sorted();

 private:
  struct Entry {
    Timestamp timestamp;
    Ref lowered_name;
    Ref record;
  };
  std::vector<Entry> entries_;
};

// The shape the three listings share: `from_git(listing)` adds the records of
// one git run, and when running git raises an Exception (git missing, its
// time limit, output that cannot be read), `fallback(listing)` adds its own
// after the records made so far.
template <class FromGit, class Fallback>
void list_from_git_or(Listing& listing, FromGit&& from_git, Fallback&& fallback) {
  try {
    from_git(listing);
  } catch (const host::Error&) {
    host::except_exception();
    fallback(listing);
  }
}

}  // namespace refs
