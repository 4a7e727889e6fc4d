#include "refs/ref_names.h"

#include <cstring>

#include "core/ids.h"

namespace refs {

bool has_prefix(PyObject* name, std::string_view prefix) {
  if (PyBytes_Check(name)) {
    const auto size = static_cast<std::size_t>(PyBytes_GET_SIZE(name));
    return size >= prefix.size() && std::memcmp(PyBytes_AS_STRING(name), prefix.data(), prefix.size()) == 0;
  }
  static const host::Interned startswith{"startswith"};
  Ref prefix_bytes = host::bytes(prefix);
  Ref answer = host::call_method(name, startswith, {prefix_bytes.get()});
  return host::truthy(answer.get());
}

Ref decode_after(PyObject* name, Py_ssize_t skip) {
  if (PyBytes_Check(name)) {
    const Py_ssize_t size = PyBytes_GET_SIZE(name);
    skip = std::min(skip, size);
    return Ref::check(PyUnicode_DecodeUTF8(PyBytes_AS_STRING(name) + skip, size - skip, "replace"));
  }
  Ref rest = Ref::check(PySequence_GetSlice(name, skip, PY_SSIZE_T_MAX));
  return host::decode_utf8_replace(rest.get());
}

Ref ascii_text(PyObject* sha) {
  if (PyBytes_Check(sha)) {
    return Ref::check(PyUnicode_DecodeASCII(PyBytes_AS_STRING(sha), PyBytes_GET_SIZE(sha), "strict"));
  }
  static const host::Interned decode{"decode"};
  Ref ascii = host::text("ascii");
  return host::call_method(sha, decode, {ascii.get()});
}

namespace {

int hex_value(Py_UCS4 ch) {
  if (ch >= '0' && ch <= '9') return static_cast<int>(ch - '0');
  if (ch >= 'a' && ch <= 'f') return static_cast<int>(ch - 'a' + 10);
  if (ch >= 'A' && ch <= 'F') return static_cast<int>(ch - 'A' + 10);
  return -1;
}

}  // namespace

Ref from_hex(PyObject* text) {
  if (PyUnicode_Check(text)) {
    // Plain digit pairs, the form every id takes, are read here; anything
    // else (spaces, odd lengths, other characters) gets the host's own rules.
    host::Text digits(text);
    const Py_ssize_t size = digits.size();
    if (size % 2 == 0) {
      Ref raw = Ref::check(PyBytes_FromStringAndSize(nullptr, size / 2));
      char* out = PyBytes_AS_STRING(raw.get());
      bool plain = true;
      for (Py_ssize_t i = 0; plain && i < size; i += 2) {
        const int high = hex_value(digits[i]);
        const int low = hex_value(digits[i + 1]);
        plain = high >= 0 && low >= 0;
        out[i / 2] = static_cast<char>(high * 16 + low);
      }
      if (plain) return raw;
    }
  }
  static const host::Interned fromhex{"fromhex"};
  return host::call_method(reinterpret_cast<PyObject*>(&PyBytes_Type), fromhex, {text});
}

Ref parent_ids(PyObject* parents, core::IdFormat& format) {
  Ref ids = host::new_list();
  host::for_each(parents, [&](PyObject* parent) {
    if (!PyBytes_Check(parent)) {
      host::raise_format(PyExc_TypeError, "expected a bytes id, got %.200s", Py_TYPE(parent)->tp_name);
    }
    host::append(ids.get(), core::id_text(parent, format).get());
  });
  return ids;
}

}  // namespace refs
