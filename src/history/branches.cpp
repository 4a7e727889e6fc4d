#include "history/branches.h"

#include "history/id_text.h"
#include "history/walk.h"

namespace history {

Ref read_ref(Service& self, PyObject* name) {
  static const host::Interned refs{"refs"};
  Ref repo = self.repo();
  Ref container = host::getattr(repo.get(), refs);
  return host::getitem(container.get(), name);
}

bool equals_text(PyObject* value, std::string_view text) {
  return PyUnicode_Check(value) && host::Text(value).equals(text);
}

Ref strip_output(PyObject* output) {
  static const host::Interned strip{"strip"};
  if (PyUnicode_CheckExact(output)) return host::strip(output);
  return host::call_method(output, strip, {});
}

void add_id_text(IdTextSet& set, PyObject* id, IdTextRule rule) {
  if (auto content = id_text_content(id)) {
    set.add_content(*content);
  } else {
    set.add(rule(id).get());
  }
}

Ref base_branch_head(Service& self, PyObject* branch) {
  for (const char* base : {"main", "master"}) {
    if (equals_text(branch, base)) continue;
    try {
      return read_ref(self, ref_name("refs/heads/", host::text(base).get()).get());
    } catch (const host::Error&) {
      host::except_key_attribute_or_type_error();
    }
  }
  return Ref();
}

void collect_base_branch_ids(Service& self, PyObject* branch, int limit, IdTextRule rule, IdTextSet& set) {
  for (const char* base : {"main", "master"}) {
    if (equals_text(branch, base)) continue;
    try {
      Ref base_head = read_ref(self, ref_name("refs/heads/", host::text(base).get()).get());
      WalkItems items = walk_from(self, base_head.get(), limit);
      Ref id;
      Ref commit;
      while (items.next(id, commit)) add_id_text(set, id.get(), rule);
      return;
    } catch (const host::Error&) {
      host::except_key_attribute_or_type_error();
    }
  }
}

}  // namespace history
