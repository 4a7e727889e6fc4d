#include "history/id_text.h"

#include <algorithm>

#include "core/ids.h"

namespace history {

namespace {

// True when `text` is a str made only of "0123456789abcdefABCDEF".
bool all_hex_digits(PyObject* text) {
  if (!PyUnicode_Check(text)) return false;
  host::Text view(text);
  for (Py_ssize_t i = 0; i < view.size(); ++i) {
    if (!core::is_hex_digit(view[i])) return false;
  }
  return true;
}

}  // namespace

Ref walked_id_text(PyObject* id, IdFormat& format) {
  if (PyBytes_Check(id)) return core::id_text(id, format);
  if (PyUnicode_Check(id)) return Ref::borrow(id);
  return host::str(id);
}

Ref listing_id_text(PyObject* id, IdFormat& format) {
  static const host::Interned hex{"hex"};
  Ref text;
  if (PyBytes_Check(id)) {
    text = core::id_text(id, format);
  } else if (Ref hex_method = host::getattr_optional(id, hex)) {
    text = host::call(hex_method.get(), {});
  } else if (PyUnicode_Check(id)) {
    text = Ref::borrow(id);
  } else {
    text = host::str(id);
  }
  // A float's hex() (or an int's str() with a sign) is no id text: the number
  // itself is taken as the id.
  if ((PyLong_Check(id) || PyFloat_Check(id)) && !all_hex_digits(text.get())) {
    Ref number = Ref::check(PyNumber_Long(id));
    Ref spec = host::text("040x");
    text = Ref::check(PyObject_Format(number.get(), spec.get()));
  }
  return text;
}

std::optional<std::string_view> id_text_content(PyObject* id, IdFormat& format) {
  if (!PyBytes_CheckExact(id) || !format.hex_size(PyBytes_GET_SIZE(id))) return std::nullopt;
  const char* data = PyBytes_AS_STRING(id);
  const char* end = data + PyBytes_GET_SIZE(id);
  if (std::any_of(data, end, [](char ch) { return static_cast<unsigned char>(ch) >= 0x80; })) return std::nullopt;
  return std::string_view(data, end);
}

}  // namespace history
