#include "core/native_refs.h"

#include "core/ids.h"
#include "core/native_road.h"
#include "store/declines.h"

namespace core {

namespace {

struct NativeDirectory {
  std::string git_dir;
  store::RefStorage storage;
};

// The git directory whose refs `container` reads when nobody can tell a
// native reading from its own, and how it keeps them; nothing otherwise.
// dulwich's DiskRefsContainer reads loose refs from `worktree_path` or
// `path` (shared refs, from the common directory): both must be the
// repository root's .git. Its ReftableRefsContainer reads the tables of
// `reftable_dir` (`path`'s reftable directory), `path` being the common
// directory: the root's .git again.
std::optional<NativeDirectory> native_git_dir(Service& self, PyObject* container) {
  static const host::Interned path_name{"path"};
  static const host::Interned worktree_path_name{"worktree_path"};
  static const host::Interned reftable_dir_name{"reftable_dir"};
  // Anything unexpected on the way simply keeps the reads on the container.
  try {
    if (host::shadows_class_attribute(container)) return gate_closed("gate: refs container has a method replaced");
    if (is_exactly(container, "dulwich.refs", "DiskRefsContainer")) {
      Ref path = host::getattr(container, path_name);
      Ref worktree_path = host::getattr(container, worktree_path_name);
      if (!PyBytes_CheckExact(path.get()) || !PyBytes_CheckExact(worktree_path.get())) {
        return gate_closed("gate: refs container's paths are not bytes");
      }
      std::string git_dir = git_dir_of(self);
      if (host::bytes_view(path.get()) != git_dir || host::bytes_view(worktree_path.get()) != git_dir) {
        return gate_closed("gate: refs container reads another directory than the root's .git");
      }
      return NativeDirectory{std::move(git_dir), store::RefStorage::Files};
    }
    if (is_exactly(container, "dulwich.reftable", "ReftableRefsContainer")) {
      Ref path = host::getattr(container, path_name);
      Ref reftable_dir = host::getattr(container, reftable_dir_name);
      if (!PyUnicode_CheckExact(path.get()) || !PyUnicode_CheckExact(reftable_dir.get())) {
        return gate_closed("gate: refs container's paths are not str");
      }
      std::string git_dir = git_dir_of(self);
      if (file_system_bytes(path.get()) != git_dir || file_system_bytes(reftable_dir.get()) != git_dir + "/reftable") {
        return gate_closed("gate: refs container reads another directory than the root's .git");
      }
      return NativeDirectory{std::move(git_dir), store::RefStorage::Reftable};
    }
    return gate_closed("gate: refs container replaced");
  } catch (const host::Error&) {
    host::except_exception();
    return gate_closed("gate: the refs container raised when asked");
  }
}

}  // namespace

NativeRefs::NativeRefs(Service& self) {
  static const host::Interned refs_name{"refs"};
  Ref repo = self.repo();
  container_ = host::getattr(repo.get(), refs_name);
  if (std::optional<NativeDirectory> native = native_git_dir(self, container_.get())) {
    // Tables of another object format than the repository's git refuses.
    std::size_t id_size = 0;
    if (native->storage == store::RefStorage::Reftable) id_size = IdFormat(self).long_ids() ? 32 : 20;
    files_.emplace(std::move(native->git_dir), native->storage, id_size);
  }
}

Ref NativeRefs::get(PyObject* name) {
  if (files_ && PyBytes_CheckExact(name)) {
    const std::string wanted(host::bytes_view(name));
    std::string hex;
    std::string missing;
    const store::Outcome read = core::without_gil([&] { return files_->resolve(wanted, hex, &missing); });
    if (read == store::Outcome::Found) return host::bytes(hex);
    // RefsContainer.__getitem__: raise KeyError(name); the reftable
    // container's follow() raises it for the name of the chain it misses.
    if (read == store::Outcome::Missing) {
      Ref key = missing == wanted ? Ref::borrow(name) : host::bytes(missing);
      host::raise_instance(host::call(PyExc_KeyError, {key.get()}).get());
    }
  }
  return host::getitem(container_.get(), name);
}

Ref NativeRefs::read_ref(PyObject* name) {
  static const host::Interned read_ref_name{"read_ref"};
  if (files_ && PyBytes_CheckExact(name)) {
    const std::string wanted(host::bytes_view(name));
    store::RefValue value;
    const store::Outcome read = core::without_gil([&] { return files_->read_ref(wanted, value); });
    if (read == store::Outcome::Found) return host::bytes(value.symbolic ? "ref: " + value.text : value.text);
    if (read == store::Outcome::Missing) {
      // The reftable container's read_loose_ref raises KeyError(name).
      if (files_->storage() == store::RefStorage::Reftable) {
        host::raise_instance(host::call(PyExc_KeyError, {name}).get());
      }
      return Ref::borrow(Py_None);
    }
  }
  return host::call_method(container_.get(), read_ref_name, {name});
}

std::optional<std::vector<ListedRef>> NativeRefs::list(std::string_view prefix, std::string_view only_id) {
  if (!files_) return std::nullopt;
  std::vector<ListedRef> refs;
  const store::Outcome read = core::without_gil([&] {
    return files_->for_each(prefix, [&](std::string_view name, std::string_view hex) {
      if (only_id.empty() || hex == only_id) refs.push_back(ListedRef{std::string(name), std::string(hex)});
    });
  });
  if (read == store::Outcome::Declined) return std::nullopt;
  return refs;
}

}  // namespace core
