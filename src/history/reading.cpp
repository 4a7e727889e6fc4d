#include "history/reading.h"

#include "core/native_refs.h"
#include "history/id_text.h"

namespace history {

Ref read_ref(Service& self, PyObject* name) { return core::NativeRefs(self).get(name); }

bool equals_text(PyObject* value, std::string_view text) {
  return PyUnicode_Check(value) && host::Text(value).equals(text);
}

Ref strip_output(PyObject* output) {
  static const host::Interned strip{"strip"};
  if (PyUnicode_CheckExact(output)) return host::strip(output);
  return host::call_method(output, strip, {});
}

void add_id_text(HostIdTextSet& set, PyObject* id, IdTextRule rule, core::IdFormat& format) {
  if (auto content = id_text_content(id, format)) {
    set.add_content(*content);
  } else {
    set.add(rule(id, format).get());
  }
}

}  // namespace history
