#include "host/text.h"

#include <algorithm>

namespace host {

namespace {

PyObject* checked_str(PyObject* s) {
  if (!PyUnicode_Check(s)) {
    raise_format(PyExc_TypeError, "expected str, got %.200s", Py_TYPE(s)->tp_name);
  }
  return s;
}

}  // namespace

Text::Text(PyObject* s)
    : owner_(checked_str(s)),
      kind_(PyUnicode_KIND(s)),
      data_(PyUnicode_DATA(s)),
      begin_(0),
      end_(PyUnicode_GET_LENGTH(s)) {}

Text Text::slice(Py_ssize_t begin, Py_ssize_t end) const {
  const Py_ssize_t length = size();
  if (end == npos || end > length) end = length;
  begin = std::min(begin, end);
  return Text(owner_, kind_, data_, begin_ + begin, begin_ + end);
}

Text Text::strip() const {
  Py_ssize_t begin = 0;
  Py_ssize_t end = size();
  while (begin < end && is_space((*this)[begin])) ++begin;
  while (end > begin && is_space((*this)[end - 1])) --end;
  return slice(begin, end);
}

Text Text::rstrip(Py_UCS4 ch) const {
  Py_ssize_t end = size();
  while (end > 0 && (*this)[end - 1] == ch) --end;
  return slice(0, end);
}

Py_ssize_t Text::find(Py_UCS4 ch, Py_ssize_t start) const {
  if (start >= size()) return npos;
  Py_ssize_t at = PyUnicode_FindChar(owner_, ch, begin_ + start, end_, 1);
  // FindChar fails only for an invalid range, which slice() rules out.
  return at < 0 ? npos : at - begin_;
}

Py_ssize_t Text::find(std::string_view needle, Py_ssize_t start) const {
  const Py_ssize_t n = static_cast<Py_ssize_t>(needle.size());
  if (n == 0) return start <= size() ? start : npos;
  const Py_UCS4 first = static_cast<unsigned char>(needle[0]);
  for (Py_ssize_t at = find(first, start); at != npos && at + n <= size(); at = find(first, at + 1)) {
    Py_ssize_t i = 1;
    while (i < n && (*this)[at + i] == static_cast<unsigned char>(needle[i])) ++i;
    if (i == n) return at;
  }
  return npos;
}

bool Text::starts_with(std::string_view prefix) const {
  const Py_ssize_t n = static_cast<Py_ssize_t>(prefix.size());
  return n <= size() && slice(0, n).equals(prefix);
}

bool Text::ends_with(std::string_view suffix) const {
  const Py_ssize_t n = static_cast<Py_ssize_t>(suffix.size());
  return n <= size() && slice(size() - n).equals(suffix);
}

bool Text::equals(std::string_view other) const {
  if (size() != static_cast<Py_ssize_t>(other.size())) return false;
  for (Py_ssize_t i = 0; i < size(); ++i) {
    if ((*this)[i] != static_cast<unsigned char>(other[static_cast<std::size_t>(i)])) return false;
  }
  return true;
}

bool Text::is_digit() const {
  if (empty()) return false;
  for (Py_ssize_t i = 0; i < size(); ++i) {
    if (!host::is_digit((*this)[i])) return false;
  }
  return true;
}

bool Text::is_blank() const { return strip().empty(); }

std::optional<std::int64_t> Text::ascii_digits_value() const {
  // 18 digits always fit in a signed 64-bit value.
  if (empty() || size() > 18) return std::nullopt;
  std::int64_t value = 0;
  for (Py_ssize_t i = 0; i < size(); ++i) {
    const Py_UCS4 ch = (*this)[i];
    if (ch < '0' || ch > '9') return std::nullopt;
    value = value * 10 + static_cast<std::int64_t>(ch - '0');
  }
  return value;
}

Ref Text::str() const { return Ref::check(PyUnicode_Substring(owner_, begin_, end_)); }

Ref Text::lower() const { return host::lower(str().get()); }

Ref Text::to_int() const {
  if (auto value = ascii_digits_value()) return integer(*value);
  return Ref::check(PyLong_FromUnicodeObject(str().get(), 10));
}

Ref strip(PyObject* object) {
  if (PyUnicode_Check(object)) return Text(object).strip().str();
  static const Interned strip_name{"strip"};
  Ref stripped = call_method(object, strip_name, {});
  Text check(stripped.get());
  return stripped;
}

Ref lower(PyObject* s) {
  if (PyUnicode_CheckExact(s) && PyUnicode_IS_ASCII(s)) {
    const Py_ssize_t length = PyUnicode_GET_LENGTH(s);
    const Py_UCS1* chars = PyUnicode_1BYTE_DATA(s);
    if (std::none_of(chars, chars + length, [](Py_UCS1 ch) { return ch >= 'A' && ch <= 'Z'; })) {
      return Ref::borrow(s);
    }
    Ref lowered = Ref::check(PyUnicode_New(length, 127));
    Py_UCS1* out = PyUnicode_1BYTE_DATA(lowered.get());
    std::transform(chars, chars + length, out,
                   [](Py_UCS1 ch) { return static_cast<Py_UCS1>(ch >= 'A' && ch <= 'Z' ? ch + 32 : ch); });
    return lowered;
  }
  static const Interned lower_name{"lower"};
  return call_method(s, lower_name, {});
}

Ref decode_utf8_replace(PyObject* data) {
  if (PyBytes_Check(data)) {
    return Ref::check(PyUnicode_DecodeUTF8(PyBytes_AS_STRING(data), PyBytes_GET_SIZE(data), "replace"));
  }
  static const Interned decode_name{"decode"};
  static const KwNames errors_keyword{"errors"};
  Ref utf8 = text("utf-8");
  Ref replace = text("replace");
  Ref method = getattr(data, decode_name);
  return call(method.get(), {utf8.get()}, errors_keyword, {replace.get()});
}

Ref decode_utf8_replace(std::string_view data) {
  return Ref::check(PyUnicode_DecodeUTF8(data.data(), static_cast<Py_ssize_t>(data.size()), "replace"));
}

bool starts_with(PyObject* s, std::string_view prefix) { return Text(s).starts_with(prefix); }

Ref concat(std::initializer_list<PyObject*> parts) {
  Ref empty = text("");
  Ref items = tuple(parts);
  return Ref::check(PyUnicode_Join(empty.get(), items.get()));
}

Py_ssize_t rfind(const Text& text, std::string_view needle) {
  Py_ssize_t last = Text::npos;
  for (Py_ssize_t at = text.find(needle); at != Text::npos; at = text.find(needle, at + 1)) last = at;
  return last;
}

bool is_utf8(std::string_view bytes) {
  std::size_t i = 0;
  while (i < bytes.size()) {
    const auto lead = static_cast<unsigned char>(bytes[i]);
    std::size_t length = 0;
    unsigned char low = 0x80;
    unsigned char high = 0xBF;
    if (lead < 0x80) {
      ++i;
      continue;
    } else if (lead >= 0xC2 && lead <= 0xDF) {
      length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
      length = 3;
      if (lead == 0xE0) low = 0xA0;   // no overlong forms
      if (lead == 0xED) high = 0x9F;  // no surrogates
    } else if (lead >= 0xF0 && lead <= 0xF4) {
      length = 4;
      if (lead == 0xF0) low = 0x90;
      if (lead == 0xF4) high = 0x8F;  // nothing past U+10FFFF
    } else {
      return false;
    }
    if (i + length > bytes.size()) return false;
    const auto second = static_cast<unsigned char>(bytes[i + 1]);
    if (second < low || second > high) return false;
    for (std::size_t k = 2; k < length; ++k) {
      const auto next = static_cast<unsigned char>(bytes[i + k]);
      if (next < 0x80 || next > 0xBF) return false;
    }
    i += length;
  }
  return true;
}

}  // namespace host
