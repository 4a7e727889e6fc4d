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

// branch in ("main", "master")
bool is_base_branch(PyObject* branch) {
  for (const std::string_view name : kBaseBranchNames) {
    if (equals_text(branch, name)) return true;
  }
  return false;
}

// The first of "main" and "master", never `branch` itself, whose ref can be
// read (see BranchBase::base).
BaseBranch first_readable_base(Service& self, PyObject* branch) {
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

}  // namespace

BranchBase::BranchBase(Service& self, PyObject* branch)
    : self_(self), branch_(branch), branch_is_base_(is_base_branch(branch)) {}

const BaseBranch& BranchBase::base() {
  if (!base_) base_ = branch_is_base_ ? BaseBranch{} : first_readable_base(self_, branch_);
  return *base_;
}

void BranchBase::collect_ids(int limit, IdTextRule rule, core::IdFormat& format, HostIdTextSet& set) {
  const BaseBranch& first = base();
  if (!first || add_walked_ids(self_, first.head.get(), limit, rule, format, set)) return;
  bool after_base = false;
  for (const std::string_view name : kBaseBranchNames) {
    if (!after_base) {
      after_base = name == first.name;
      continue;
    }
    if (equals_text(branch_, name)) continue;
    try {
      Ref head = read_branch_head(self_, name);
      if (add_walked_ids(self_, head.get(), limit, rule, format, set)) return;
    } catch (const host::Error&) {
      host::except_key_attribute_or_type_error();
    }
  }
}

}  // namespace history
