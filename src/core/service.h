// The GitServiceCython object: one repository's root path and its dulwich Repo.
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
