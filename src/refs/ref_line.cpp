#include "refs/ref_line.h"

#include <algorithm>
#include <climits>
#include <cstring>
#include <optional>
#include <vector>

namespace refs {

RefLine::RefLine(Text line) : line_(line) {
  Py_ssize_t start = 0;
  while (size_ <= kMaxFields) {
    const Py_ssize_t bar = line.find('|', start);
    const Py_ssize_t end = bar == Text::npos ? line.size() : bar;
    if (size_ < kMaxFields) {
      begin_[size_] = start;
      end_[size_] = end;
    }
    ++size_;
    if (bar == Text::npos) break;
    start = bar + 1;
  }
}

Text RefLine::field(std::size_t i) const {
  if (i >= size_) return line_.slice(0, 0);
  return line_.slice(begin_[i], end_[i]).strip();
}

std::size_t count_lines(Text output) {
  std::size_t lines = 1;
  for (Py_ssize_t at = output.find('\n'); at != Text::npos; at = output.find('\n', at + 1)) ++lines;
  return lines;
}

Timestamp Timestamp::parse(Text text) {
  // The usual field, a short run of ASCII digits, passes isdigit as well.
  if (auto seconds = text.ascii_digits_value()) return Timestamp(*seconds);
  if (!text.is_digit()) return Timestamp();
  // Long digit runs and digits of other scripts: the host's int() decides.
  Ref value = text.to_int();
  int overflow = 0;
  const long long seconds = PyLong_AsLongLongAndOverflow(value.get(), &overflow);
  if (overflow == 0) return Timestamp(seconds);
  Timestamp big;
  big.big_ = std::move(value);
  return big;
}

Ref Timestamp::object() const { return big_ ? big_.copy() : host::integer(seconds_); }

bool Timestamp::later_than(const Timestamp& other) const {
  if (big_ && other.big_) return PyObject_RichCompareBool(big_.get(), other.big_.get(), Py_GT) == 1;
  if (big_ || other.big_) return static_cast<bool>(big_);
  return seconds_ > other.seconds_;
}

void Listing::add(Ref record, PyObject* name, Timestamp timestamp) {
  Ref lowered = host::lower(name);
  // The sort compares lowered names natively, as str objects.
  if (!PyUnicode_Check(lowered.get())) host::raise(PyExc_TypeError, "lower() did not return a str");
  entries_.push_back({std::move(timestamp), std::move(lowered), std::move(record)});
}

namespace {

// a < b for two str objects, by code point.
bool name_before(PyObject* a, PyObject* b) {
  if (PyUnicode_KIND(a) == PyUnicode_1BYTE_KIND && PyUnicode_KIND(b) == PyUnicode_1BYTE_KIND) {
    const Py_ssize_t a_size = PyUnicode_GET_LENGTH(a);
    const Py_ssize_t b_size = PyUnicode_GET_LENGTH(b);
    const int order = std::memcmp(PyUnicode_1BYTE_DATA(a), PyUnicode_1BYTE_DATA(b),
                                  static_cast<std::size_t>(std::min(a_size, b_size)));
    return order != 0 ? order < 0 : a_size < b_size;
  }
  // Two str objects: the comparison cannot fail.
  return PyUnicode_Compare(a, b) < 0;
}

}  // namespace

Ref Listing::sorted() {
  // What the sort compares, gathered once per entry: dated entries by their
  // negated time and undated ones after every dated one, in one integer
  // (values past 64 bits fall back to comparing the host's ints), then the
  // lower-cased name.
  struct Key {
    std::int64_t rank;
    bool exact;  // `rank` alone orders this entry by time
    const Entry* entry;
  };
  std::vector<Key> keys;
  keys.reserve(entries_.size());
  for (const Entry& entry : entries_) {
    const std::optional<std::int64_t> seconds = entry.timestamp.small_value();
    const std::int64_t rank = !seconds ? 0 : *seconds == 0 ? INT64_MAX : -*seconds;
    keys.push_back({rank, seconds.has_value(), &entry});
  }
  const auto before = [](const Key& a, const Key& b) {
    if (a.exact && b.exact) {
      if (a.rank != b.rank) return a.rank < b.rank;
    } else {
      const Timestamp& x = a.entry->timestamp;
      const Timestamp& y = b.entry->timestamp;
      if (x.is_zero() != y.is_zero()) return y.is_zero();
      if (x.later_than(y)) return true;
      if (y.later_than(x)) return false;
    }
    return name_before(a.entry->lowered_name.get(), b.entry->lowered_name.get());
  };
  // git lists refs by name, so a listing whose times are equal often comes
  // in order already; checking first is one pass.
  if (!std::is_sorted(keys.begin(), keys.end(), before)) std::stable_sort(keys.begin(), keys.end(), before);
  Ref list = Ref::check(PyList_New(static_cast<Py_ssize_t>(keys.size())));
  Py_ssize_t i = 0;
  for (const Key& key : keys) PyList_SET_ITEM(list.get(), i++, Py_NewRef(key.entry->record.get()));
  entries_.clear();
  return list;
}

}  // namespace refs
