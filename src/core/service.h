// The GitServiceCython object: one repository's root path and its dulwich Repo.
//
// The rule every method body keeps: it reaches the other public methods
// through `self` (host::call_method on the object), never by calling their C++
// bodies, because a host's subclass may override them. Those calls are the
// listing's `_get_remote_commits` and `get_merge_base`, every walk's
// `_iter_commits_optimized`, construction's `_find_repo_root`, and the
// fallback scan's `_build_head_file_map`, `_compile_gitignore_patterns`,
// `_is_path_ignored` and `_is_directory_ignored` (and `_find_in_tree`'s own
// recursion). Where a body reads natively instead of through those methods,
// it first checks that they are the class's own (core/native_road.h).
#pragma once

#include <span>

#include "host/host.h"

namespace core {

using host::Ref;

// The instance layout. Both fields always hold a reference (None before
// __init__); they are private to the module.
struct Service {
  PyObject ob_base;  // the object header, as PyObject_HEAD declares it
  PyObject* repo_path_;
  PyObject* repo_;

  // The service behind `self`, which the caller has checked is an instance.
  static Service& from(PyObject* self) { return *reinterpret_cast<Service*>(self); }

  PyObject* object() { return reinterpret_cast<PyObject*>(this); }
  // self.repo_path (a new reference: host code run meanwhile may replace the field)
  Ref repo_path() const { return Ref::borrow(repo_path_); }
  // self.repo
  Ref repo() const { return Ref::borrow(repo_); }
  // str(self.repo_path): the working directory of every git run.
  Ref cwd() const { return host::str(repo_path().get()); }

  void set_repo_path(Ref value) { Py_SETREF(repo_path_, value.release()); }
  void set_repo(Ref value) { Py_SETREF(repo_, value.release()); }
};

// The GitServiceCython class.
PyTypeObject* service_type();

// Readies the class and fills its dictionary with `methods`, in order;
// `init_spec` declares __init__'s parameters, which the type's init slot
// parses. Run once by the module's execute step.
void prepare_service_type(const char* module_name, std::span<const host::FunctionSpec> methods,
                          const host::FunctionSpec& init_spec);

// The bodies the class's table binds, defined with the type.
Ref init(Service& self, PyObject* start_dir);
Ref find_repo_root(PyObject* path);
Ref reduce(Service& self);
Ref setstate(Service& self, PyObject* state);
Ref unpickle(PyObject* type, PyObject* checksum, PyObject* state);

}  // namespace core
