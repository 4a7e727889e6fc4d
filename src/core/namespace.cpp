#include "core/namespace.h"

namespace core {

namespace {
PyObject* namespace_dict = nullptr;
}

void set_namespace(PyObject* module_dict) { Py_XSETREF(namespace_dict, Py_NewRef(module_dict)); }

host::Ref global(const host::Interned& name) {
  if (namespace_dict != nullptr) {
    if (PyObject* value = PyDict_GetItemWithError(namespace_dict, name.get())) return host::Ref::borrow(value);
    if (PyErr_Occurred()) throw host::Error{};
  }
  PyObject* builtins = PyEval_GetBuiltins();
  if (builtins != nullptr) {
    if (PyObject* value = PyDict_GetItemWithError(builtins, name.get())) return host::Ref::borrow(value);
    if (PyErr_Occurred()) throw host::Error{};
  }
  host::raise_format(PyExc_NameError, "name '%U' is not defined", name.get());
}

}  // namespace core
