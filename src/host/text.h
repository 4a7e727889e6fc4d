// Reading host str objects natively with the host's own semantics.
//
// `Text` is a view of a range of a str. Parsers walk git's output through
// views and make a new str only for the values they keep. Every operation
// gives the answer the host's str method of the same name gives: `strip`
// strips Unicode whitespace, `is_digit` accepts every Unicode digit, `split`
// keeps empty pieces, and `lower` is Unicode lowering.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

#include "host/objects.h"
#include "host/ref.h"

namespace host {

class Text {
 public:
  static constexpr Py_ssize_t npos = -1;

  // A view of the whole of `s`, which must outlive the view. Raises
  // TypeError unless `s` is a str (subclasses included).
  explicit Text(PyObject* s);

  PyObject* owner() const { return owner_; }
  Py_ssize_t size() const { return end_ - begin_; }
  bool empty() const { return begin_ == end_; }
  Py_UCS4 operator[](Py_ssize_t i) const { return PyUnicode_READ(kind_, data_, begin_ + i); }

  // text[begin:end], with 0 <= begin and end clamped to the size (npos: to the end).
  Text slice(Py_ssize_t begin, Py_ssize_t end = npos) const;
  // text.strip()
  Text strip() const;
  // text.rstrip(ch)
  Text rstrip(Py_UCS4 ch) const;
  // text.find(ch, start)
  Py_ssize_t find(Py_UCS4 ch, Py_ssize_t start = 0) const;
  // text.find(needle, start) for an ASCII needle
  Py_ssize_t find(std::string_view needle, Py_ssize_t start = 0) const;
  // needle in text
  bool contains(std::string_view needle) const { return find(needle) != npos; }
  // text.startswith(prefix)
  bool starts_with(std::string_view prefix) const;
  // text.endswith(suffix)
  bool ends_with(std::string_view suffix) const;
  // text == other, for an ASCII other
  bool equals(std::string_view other) const;
  // text.isdigit()
  bool is_digit() const;
  // not text.strip(): empty or only whitespace
  bool is_blank() const;
  // The text's value when it is made of ASCII digits only and fits in 64 bits.
  std::optional<std::int64_t> ascii_digits_value() const;

  // Calls `each(piece)` for every piece of text.split(sep), empty pieces included.
  template <class Each>
  void split(Py_UCS4 sep, Each&& each) const {
    Py_ssize_t start = 0;
    for (;;) {
      Py_ssize_t at = find(sep, start);
      if (at == npos) {
        each(slice(start));
        return;
      }
      each(slice(start, at));
      start = at + 1;
    }
  }

  // The text as a str object (the owner itself when the view covers all of an exact str).
  Ref str() const;
  // text.lower()
  Ref lower() const;
  // int(text)
  Ref to_int() const;

 private:
  Text(PyObject* owner, int kind, const void* data, Py_ssize_t begin, Py_ssize_t end)
      : owner_(owner), kind_(kind), data_(data), begin_(begin), end_(end) {}

  PyObject* owner_;
  int kind_;
  const void* data_;
  Py_ssize_t begin_;
  Py_ssize_t end_;
};

// object.strip(): natively for a str; for anything else the host's own
// `strip` is called (so None raises the host's AttributeError), and a result
// that is not a str raises TypeError.
Ref strip(PyObject* object);

// str.lower() of any str object (ASCII is lowered natively).
Ref lower(PyObject* s);

// data.decode("utf-8", errors="replace") for bytes; for anything else the
// host's `decode` method is called with those arguments.
Ref decode_utf8_replace(PyObject* data);
// bytes(data).decode("utf-8", errors="replace")
Ref decode_utf8_replace(std::string_view data);

// The host's `str.isdigit()` / `str.isspace()` test of one character.
inline bool is_digit(Py_UCS4 ch) { return Py_UNICODE_ISDIGIT(ch); }
inline bool is_space(Py_UCS4 ch) { return Py_UNICODE_ISSPACE(ch); }

// Whether bytes.decode("utf-8") accepts `bytes`: well-formed UTF-8 without
// overlong forms, surrogates or code points past U+10FFFF.
bool is_utf8(std::string_view bytes);

// True when the str begins with the ASCII prefix.
bool starts_with(PyObject* s, std::string_view prefix);

// "".join(parts) for str parts.
Ref concat(std::initializer_list<PyObject*> parts);

// text.rfind(needle) for an ASCII needle (Text::npos when absent).
Py_ssize_t rfind(const Text& text, std::string_view needle);

}  // namespace host
