#include "core/ids.h"

namespace core {

bool IdFormat::long_ids() {
  static const host::Interned object_format{"object_format"};
  static const host::Interned hex_length{"hex_length"};
  if (long_ids_) return *long_ids_;
  long_ids_ = false;
  try {
    Ref repo = self_.repo();
    Ref format = host::getattr_optional(repo.get(), object_format);
    Ref length = format ? host::getattr_optional(format.get(), hex_length) : Ref();
    int overflow = 0;
    if (length && PyLong_CheckExact(length.get()) && PyLong_AsLongAndOverflow(length.get(), &overflow) == 64) {
      long_ids_ = true;
      format_ = std::move(format);
    }
  } catch (const host::Error&) {
    host::except_exception();
  }
  return *long_ids_;
}

host::Ref id_text(PyObject* id, IdFormat& format) {
  const char* data = PyBytes_AS_STRING(id);
  const Py_ssize_t size = PyBytes_GET_SIZE(id);
  if (format.hex_size(size)) return host::Ref::check(PyUnicode_DecodeASCII(data, size, "strict"));
  static constexpr char digits[] = "0123456789abcdef";
  host::Ref text = host::Ref::check(PyUnicode_New(size * 2, 127));
  Py_UCS1* out = PyUnicode_1BYTE_DATA(text.get());
  for (Py_ssize_t i = 0; i < size; ++i) {
    const auto byte = static_cast<unsigned char>(data[i]);
    out[2 * i] = static_cast<Py_UCS1>(digits[byte >> 4]);
    out[2 * i + 1] = static_cast<Py_UCS1>(digits[byte & 0x0F]);
  }
  return text;
}

host::Ref ref_name(std::string_view prefix, PyObject* branch) {
  host::Ref text = host::concat({host::text(prefix).get(), host::format(branch).get()});
  return host::Ref::check(PyUnicode_AsUTF8String(text.get()));
}

namespace {

std::optional<store::ObjectId> lower_hex_id(std::string_view digits, store::HashFormat format) {
  if (!store::is_hex_id(digits, format)) return std::nullopt;
  return store::ObjectId::from_hex(digits, format);
}

}  // namespace

std::optional<store::ObjectId> hex_object_id(PyObject* id, store::HashFormat format) {
  if (!PyBytes_CheckExact(id)) return std::nullopt;
  return lower_hex_id({PyBytes_AS_STRING(id), static_cast<std::size_t>(PyBytes_GET_SIZE(id))}, format);
}

std::optional<store::ObjectId> text_object_id(PyObject* text, store::HashFormat format) {
  if (!PyUnicode_CheckExact(text) || !PyUnicode_IS_ASCII(text)) return std::nullopt;
  return lower_hex_id(
      {reinterpret_cast<const char*>(PyUnicode_1BYTE_DATA(text)), static_cast<std::size_t>(PyUnicode_GET_LENGTH(text))},
      format);
}

}  // namespace core
