#include "history/base_branch.h"

#include "history/walk.h"

namespace history {

namespace {

// self.repo.refs[f"refs/heads/{name}".encode()]
Ref read_branch_head(Service& self, std::string_view name) {
  return read_ref(self, ref_name("refs/heads/", host::text(name).get()).get());
}

// Adds the id texts of the walk from `head`; false when the walk raised
// KeyError, AttributeError or TypeError (any other error raises).
bool add_walked_ids(Service& self, PyObject* head, int limit, IdTextRule rule, core::IdFormat& format,
                    HostIdTextSet& set) {
  try {
    WalkItems items = walk_from(self, head, limit);
    Ref id;
    Ref commit;
    while (items.next(id, commit)) add_id_text(set, id.get(), rule, format);
    return true;
  } catch (const host::Error&) {
    host::except_key_attribute_or_type_error();
    return false;
  }
}

}  // namespace

bool is_base_branch(PyObject* branch) {
  for (const std::string_view name : kBaseBranchNames) {
    if (equals_text(branch, name)) return true;
  }
  return false;
}

BaseBranch base_of(Service& self, PyObject* branch) {
  for (const std::string_view name : kBaseBranchNames) {
    if (equals_text(branch, name)) continue;
    try {
      return {name, read_branch_head(self, name)};
    } catch (const host::Error&) {
      host::except_key_attribute_or_type_error();
    }
  }
  return {};
}

void collect_base_branch_ids(Service& self, PyObject* branch, const BaseBranch& base, int limit, IdTextRule rule,
                             core::IdFormat& format, HostIdTextSet& set) {
  if (!base || add_walked_ids(self, base.head.get(), limit, rule, format, set)) return;
  bool after_base = false;
  for (const std::string_view name : kBaseBranchNames) {
    if (!after_base) {
      after_base = name == base.name;
      continue;
    }
    if (equals_text(branch, name)) continue;
    try {
      Ref head = read_branch_head(self, name);
      if (add_walked_ids(self, head.get(), limit, rule, format, set)) return;
    } catch (const host::Error&) {
      host::except_key_attribute_or_type_error();
    }
  }
}

}  // namespace history
