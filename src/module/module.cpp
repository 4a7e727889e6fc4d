// Module creation and execution: what importing git_service_cython does.
#include <cstdint>

#include "core/namespace.h"
#include "core/records.h"
#include "core/service.h"
#include "host/host.h"
#include "module/methods.h"

namespace module {

namespace {

using core::kModuleName;
using host::Ref;

// The module object once its execute step has completed.
PyObject* the_module = nullptr;
// The first interpreter that created the module.
std::int64_t first_interpreter = -1;

bool same_interpreter() {
  const std::int64_t current = PyInterpreterState_GetID(PyInterpreterState_Get());
  if (current == -1) return false;
  if (first_interpreter == -1) first_interpreter = current;
  if (first_interpreter == current) return true;
  PyErr_SetString(PyExc_ImportError,
                  "Interpreter change detected - this module can only be loaded into one interpreter per process.");
  return false;
}

// module.<to> = spec.<from>, skipping a missing attribute (and None unless allowed).
void copy_spec_attribute(PyObject* spec, PyObject* module_dict, const char* from, const char* to, bool allow_none) {
  PyObject* value = PyObject_GetAttrString(spec, from);
  if (value == nullptr) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw host::Error{};
    PyErr_Clear();
    return;
  }
  Ref owned = Ref::steal(value);
  if (allow_none || value != Py_None) host::check(PyDict_SetItemString(module_dict, to, value));
}

PyObject* create(PyObject* spec, PyModuleDef*) noexcept {
  return host::entry([&]() -> Ref {
    if (!same_interpreter()) throw host::Error{};
    if (the_module != nullptr) return Ref::borrow(the_module);
    Ref name = Ref::check(PyObject_GetAttrString(spec, "name"));
    Ref module = Ref::check(PyModule_NewObject(name.get()));
    PyObject* module_dict = host::check_borrowed(PyModule_GetDict(module.get()));
    copy_spec_attribute(spec, module_dict, "loader", "__loader__", true);
    copy_spec_attribute(spec, module_dict, "origin", "__file__", true);
    copy_spec_attribute(spec, module_dict, "parent", "__package__", true);
    copy_spec_attribute(spec, module_dict, "submodule_search_locations", "__path__", false);
    return module;
  });
}

// The module was compiled against one interpreter version's headers; running
// it on another major.minor version is worth a warning.
void warn_on_version_mismatch() {
  const int major = static_cast<int>((Py_Version >> 24) & 0xFF);
  const int minor = static_cast<int>((Py_Version >> 16) & 0xFF);
  if (major == PY_MAJOR_VERSION && minor == PY_MINOR_VERSION) return;
  Ref message =
      Ref::check(PyUnicode_FromFormat("compile time Python version %d.%d of module '%.100s' %s runtime version %d.%d",
                                      PY_MAJOR_VERSION, PY_MINOR_VERSION, kModuleName, "does not match", major, minor));
  host::check(PyErr_WarnEx(nullptr, PyUnicode_AsUTF8(message.get()), 1));
}

void bind(PyObject* module_dict, const char* name, PyObject* value) {
  host::check(PyDict_SetItemString(module_dict, name, value));
}

int execute(PyObject* module) noexcept {
  return host::entry_status([&] {
    if (the_module != nullptr) {
      if (the_module == module) return;
      host::raise(PyExc_RuntimeError,
                  "Module 'git_service_cython' has already been imported. Re-initialisation is not supported.");
    }
    warn_on_version_mismatch();
    PyObject* module_dict = host::check_borrowed(PyModule_GetDict(module));
    Ref dataclass = host::import_from("dataclasses", "dataclass");
    bind(module_dict, "dataclass", dataclass.get());
    bind(module_dict, "Path", host::import_from("pathlib", "Path").get());
    bind(module_dict, "stat", host::import("stat").get());
    bind(module_dict, "Repo", host::import_from("dulwich.repo", "Repo").get());
    bind(module_dict, "NotGitRepository", host::import_from("dulwich.errors", "NotGitRepository").get());
    core::set_namespace(module_dict);
    core::create_records(module_dict, dataclass.get());
    core::prepare_service_type(kModuleName, service_methods(), init_spec());
    bind(module_dict, "GitServiceCython", reinterpret_cast<PyObject*>(core::service_type()));
    Ref unpickle = host::make_function(unpickle_spec(), nullptr, nullptr, kModuleName);
    bind(module_dict, "__pyx_unpickle_GitServiceCython", unpickle.get());
    the_module = Py_NewRef(module);
  });
}

PyModuleDef_Slot slots[] = {
    {Py_mod_create, reinterpret_cast<void*>(create)},
    {Py_mod_exec, reinterpret_cast<void*>(execute)},
    {0, nullptr},
};

PyModuleDef definition = {
    PyModuleDef_HEAD_INIT, kModuleName, nullptr, 0, nullptr, slots, nullptr, nullptr, nullptr,
};

}  // namespace

}  // namespace module

PyMODINIT_FUNC PyInit_git_service_cython() { return PyModuleDef_Init(&module::definition); }
