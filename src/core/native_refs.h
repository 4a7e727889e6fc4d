// When references may be read natively: only where nobody can tell the
// difference from reading them through self.repo.refs.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/service.h"
#include "store/ref_files.h"

namespace core {

// A ref as the native reading lists it: its full name and its id (40
// hexadecimal digits; empty where self.repo.refs[name] raises KeyError).
struct ListedRef {
  std::string name;
  std::string hex;
};

// self.repo.refs for one method call. Its refs are read natively
// (src/store/ref_files.h) when it is exactly dulwich's DiskRefsContainer
// or ReftableRefsContainer (not a subclass, no method replaced on the one
// object) of the repository root's .git, which is then no linked worktree's:
// a replaced container, a subclass or another directory reads through the
// container as it always has, and so does every read the native reading
// declines. Files are read afresh by every new NativeRefs (a reftable once
// per file identity).
class NativeRefs {
 public:
  // Looks self.repo.refs up, raising as that lookup raises.
  explicit NativeRefs(Service& self);

  // Whether the native road is open.
  explicit operator bool() const { return files_.has_value(); }
  // self.repo.refs
  PyObject* container() const { return container_.get(); }

  // self.repo.refs[name]: an id as hexadecimal bytes, KeyError for a
  // missing ref (as the container raises it).
  Ref get(PyObject* name);

  // self.repo.refs.read_ref(name): the raw value (b"ref: <target>" or an
  // id), None for a missing ref (KeyError(name) in reftables, as the
  // container raises it there).
  Ref read_ref(PyObject* name);

  // Every ref that self.repo.refs.keys() lists under `prefix`, with what
  // self.repo.refs[name] gives for it, in no particular order; only those
  // whose id is `only_id` (lowercase hexadecimal digits) when it is given.
  // Nothing when the road is closed or the native reading declines: the
  // caller then reads through container().
  std::optional<std::vector<ListedRef>> list(std::string_view prefix, std::string_view only_id = {});

 private:
  Ref container_;
  std::optional<store::RefFiles> files_;
};

}  // namespace core
