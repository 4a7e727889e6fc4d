// One branch's head, whether HEAD names it, and its counterpart on origin,
// read through dulwich alone. Each lookup is guarded on its own, so one
// failure leaves the other answers intact.
#include <string_view>

#include "core/ids.h"
#include "core/native_refs.h"
#include "refs/ref_names.h"
#include "refs/refs.h"

namespace refs {

namespace {

// The ref HEAD points at, as bytes: from the refs module's `follow` where
// the installed dulwich has one, else read from the reference container
// (`repo.refs.read_ref(b"HEAD")` gives b"ref: <target>" for a symbolic HEAD;
// read natively where nobody can tell).
// No release of dulwich so far has the module-level function, and without
// this reading every branch would look not current. Null when HEAD is
// detached.
Ref head_target(Service& self, PyObject* refs_module) {
  static const host::Interned follow{"follow"};
  Ref head = host::bytes("HEAD");
  Ref module_follow;
  try {
    module_follow = host::getattr(refs_module, follow);
  } catch (const host::Error&) {
    host::except({PyExc_AttributeError});
  }
  if (module_follow) return host::call(module_follow.get(), {self.repo().get(), head.get()});
  Ref value = core::NativeRefs(self).read_ref(head.get());
  constexpr std::string_view symref = "ref: ";
  if (!PyBytes_Check(value.get()) || !has_prefix(value.get(), symref)) return Ref();
  return Ref::check(PyBytes_FromStringAndSize(PyBytes_AS_STRING(value.get()) + symref.size(),
                                              PyBytes_GET_SIZE(value.get()) - static_cast<Py_ssize_t>(symref.size())));
}

// Whether HEAD names `branch`: its target is "refs/heads/" followed by the
// branch, the name taken whole (a branch "a/heads/b" is not "b"). Any
// failure (a target that is not UTF-8, a failing read) reads as "no".
bool is_current_branch(Service& self, PyObject* branch) {
  try {
    Ref refs_module = host::import_from("dulwich", "refs");
    Ref target = head_target(self, refs_module.get());
    if (!target || !PyBytes_Check(target.get()) || !has_prefix(target.get(), kHeadsPrefix)) return false;
    const auto skip = static_cast<Py_ssize_t>(kHeadsPrefix.size());
    Ref name = Ref::check(
        PyUnicode_DecodeUTF8(PyBytes_AS_STRING(target.get()) + skip, PyBytes_GET_SIZE(target.get()) - skip, "strict"));
    return host::equal(name.get(), branch);
  } catch (const host::Error&) {
    host::except_exception();
  }
  return false;
}

// self.repo.refs[ref] for f"{prefix}{branch}", null when the ref is missing.
Ref lookup_branch_ref(Service& self, const char* prefix, PyObject* branch) {
  Ref name = core::ref_name(prefix, branch);
  try {
    return core::NativeRefs(self).get(name.get());
  } catch (const host::Error&) {
    host::except_key_attribute_or_type_error();
  }
  return Ref();
}

}  // namespace

Ref get_branch_info(Service& self, PyObject* branch) {
  static const host::Interned name_key{"name"};
  static const host::Interned head_sha_key{"head_sha"};
  static const host::Interned remote_tracking_key{"remote_tracking"};
  static const host::Interned upstream_key{"upstream"};
  static const host::Interned is_current_key{"is_current"};
  Ref info = host::new_dict();
  host::set_item(info.get(), name_key, branch);
  host::set_item(info.get(), head_sha_key, Py_None);
  host::set_item(info.get(), remote_tracking_key, Py_None);
  host::set_item(info.get(), upstream_key, Py_None);
  host::set_item(info.get(), is_current_key, Py_False);
  try {
    if (Ref head = lookup_branch_ref(self, "refs/heads/", branch)) {
      host::set_item(info.get(), head_sha_key, ascii_text(head.get()).get());
    }
  } catch (const host::Error&) {
    host::except_exception();
  }

  if (is_current_branch(self, branch)) host::set_item(info.get(), is_current_key, Py_True);

  try {
    if (lookup_branch_ref(self, "refs/remotes/origin/", branch)) {
      Ref origin = host::text("origin/");
      Ref remote_tracking = host::concat({origin.get(), host::format(branch).get()});
      host::set_item(info.get(), remote_tracking_key, remote_tracking.get());
      host::set_item(info.get(), upstream_key, branch);
    }
  } catch (const host::Error&) {
    host::except_exception();
  }
  return info;
}

}  // namespace refs
