#include "core/service.h"

#include <algorithm>
#include <iterator>

#include "core/namespace.h"

namespace core {

namespace {

PyObject* service_new(PyTypeObject* type, PyObject*, PyObject*) noexcept {
  PyObject* self = type->tp_alloc(type, 0);
  if (self == nullptr) return nullptr;
  Service& service = Service::from(self);
  service.repo_path_ = Py_NewRef(Py_None);
  service.repo_ = Py_NewRef(Py_None);
  return self;
}

int service_traverse(PyObject* self, visitproc visit, void* arg) noexcept {
  Service& service = Service::from(self);
  Py_VISIT(service.repo_path_);
  Py_VISIT(service.repo_);
  return 0;
}

// Clearing for the collector leaves None in both fields, never NULL, so that
// methods can always read them.
int service_clear(PyObject* self) noexcept {
  Service& service = Service::from(self);
  Py_SETREF(service.repo_path_, Py_NewRef(Py_None));
  Py_SETREF(service.repo_, Py_NewRef(Py_None));
  return 0;
}

void service_dealloc(PyObject* self) noexcept {
  PyObject_GC_UnTrack(self);
  Service& service = Service::from(self);
  Py_CLEAR(service.repo_path_);
  Py_CLEAR(service.repo_);
  Py_TYPE(self)->tp_free(self);
}

// __init__'s declaration, given by the method table when the class is readied.
const host::FunctionSpec* init_declaration = nullptr;

int service_init(PyObject* self, PyObject* args, PyObject* kwargs) noexcept {
  return host::entry_status([&] {
    host::Arg start_dir;
    host::parse_slot_arguments(*init_declaration, args, kwargs, &start_dir);
    Ref keep_self = Ref::borrow(self);
    init(Service::from(self), start_dir.object);
  });
}

PyTypeObject type = [] {
  PyTypeObject type = host::blank_type();
  type.tp_name = "git_service_cython.GitServiceCython";
  type.tp_basicsize = sizeof(Service);
  type.tp_dealloc = service_dealloc;
  type.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC;
  // A signature for inspect and editors, and nothing else: the host reads an
  // internal doc made only of a signature as no docstring at all (None).
  type.tp_doc = "GitServiceCython(start_dir)\n--\n\n";
  type.tp_traverse = service_traverse;
  type.tp_clear = service_clear;
  type.tp_init = service_init;
  type.tp_new = service_new;
  return type;
}();

}  // namespace

PyTypeObject* service_type() { return &type; }

void prepare_service_type(const char* module_name, std::span<const host::FunctionSpec> methods,
                          const host::FunctionSpec& init_spec) {
  init_declaration = &init_spec;
  host::check(PyType_Ready(&type));
  for (const host::FunctionSpec& spec : methods) {
    Ref function = host::make_function(spec, &type, "GitServiceCython", module_name);
    if (spec.binding == host::Binding::StaticMethod) function = Ref::check(PyStaticMethod_New(function.get()));
    host::check(PyDict_SetItemString(type.tp_dict, spec.name, function.get()));
  }
  PyType_Modified(&type);
}

Ref init(Service& self, PyObject* start_dir) {
  static const host::Interned path_name{"Path"};
  static const host::Interned repo_name{"Repo"};
  static const host::Interned find_repo_root_name{"_find_repo_root"};
  Ref path_class = global(path_name);
  Ref path = host::call(path_class.get(), {start_dir});
  self.set_repo_path(host::call_method(self.object(), find_repo_root_name, {path.get()}));
  Ref repo_class = global(repo_name);
  Ref root_text = self.cwd();
  self.set_repo(host::call(repo_class.get(), {root_text.get()}));
  return Ref::borrow(Py_None);
}

Ref find_repo_root(PyObject* path) {
  static const host::Interned resolve{"resolve"};
  static const host::Interned exists{"exists"};
  static const host::Interned is_dir{"is_dir"};
  static const host::Interned parent{"parent"};
  static const host::Interned not_git_repository{"NotGitRepository"};
  Ref git_name = host::text(".git");
  Ref current = host::call_method(path, resolve, {});
  for (;;) {
    Ref git_dir = Ref::check(PyNumber_TrueDivide(current.get(), git_name.get()));
    if (host::truthy(host::call_method(git_dir.get(), exists, {}).get()) &&
        host::truthy(host::call_method(git_dir.get(), is_dir, {}).get())) {
      return current;
    }
    Ref up = host::getattr(current.get(), parent);
    if (host::equal(up.get(), current.get())) {
      Ref error_class = global(not_git_repository);
      Ref message = host::concat({host::text("No .git found from ").get(), host::format(path).get()});
      host::raise_instance(host::call(error_class.get(), {message.get()}).get());
    }
    current = host::getattr(current.get(), parent);
  }
}

namespace {

// The checksums, the message that names them and the member list are kept
// byte for byte: pickles made by the host's other builds carry them.
constexpr long kChecksum = 0x969dac;
constexpr long kAcceptedChecksums[] = {0x969dac, 0x8fbb51f, 0x1a9b238};

// The state-setting step shared by __setstate__ and unpickling.
void apply_state(Service& self, PyObject* state) {
  const Py_ssize_t size = PyTuple_GET_SIZE(state);
  if (size < 2) {
    host::raise_format(PyExc_TypeError, "the pickled state of GitServiceCython needs 2 items, got %zd", size);
  }
  self.set_repo(Ref::borrow(PyTuple_GET_ITEM(state, 0)));
  self.set_repo_path(Ref::borrow(PyTuple_GET_ITEM(state, 1)));
  if (size > 2) {
    Ref extra = Ref::borrow(PyTuple_GET_ITEM(state, 2));
    if (host::truthy(extra.get())) {
      static const host::Interned dict_name{"__dict__"};
      static const host::Interned update{"update"};
      Ref instance_dict = host::getattr(self.object(), dict_name);
      host::call_method(instance_dict.get(), update, {extra.get()});
    }
  }
}

}  // namespace

Ref reduce(Service& self) {
  static const host::Interned dict_name{"__dict__"};
  static const host::Interned unpickle_name{"__pyx_unpickle_GitServiceCython"};
  Ref state = host::tuple({self.repo().get(), self.repo_path().get()});
  bool use_setstate = false;
  Ref instance_dict = Ref::steal(PyObject_GetAttr(self.object(), dict_name.get()));
  if (!instance_dict) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw host::Error{};
    PyErr_Clear();
  }
  if (instance_dict && instance_dict.get() != Py_None && host::truthy(instance_dict.get())) {
    state = host::tuple({self.repo().get(), self.repo_path().get(), instance_dict.get()});
    use_setstate = true;
  } else {
    use_setstate = self.repo_ != Py_None || self.repo_path_ != Py_None;
  }
  Ref unpickle_function = global(unpickle_name);
  Ref checksum = host::integer(kChecksum);
  PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(self.object()));
  if (use_setstate) {
    Ref arguments = host::tuple({type, checksum.get(), Py_None});
    return host::tuple({unpickle_function.get(), arguments.get(), state.get()});
  }
  Ref arguments = host::tuple({type, checksum.get(), state.get()});
  return host::tuple({unpickle_function.get(), arguments.get()});
}

Ref setstate(Service& self, PyObject* state) {
  if (state == Py_None) host::raise(PyExc_TypeError, "__setstate__() argument 'state' must not be None");
  if (!PyTuple_CheckExact(state)) {
    host::raise_format(PyExc_TypeError, "Expected %s, got %.200s", "tuple", Py_TYPE(state)->tp_name);
  }
  apply_state(self, state);
  return Ref::borrow(Py_None);
}

Ref unpickle(PyObject* type, PyObject* checksum, PyObject* state) {
  const long value = host::to_long(checksum);
  if (state != Py_None && !PyTuple_CheckExact(state)) {
    host::raise_format(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)",
                       "__pyx_state", "tuple", Py_TYPE(state)->tp_name);
  }
  if (std::find(std::begin(kAcceptedChecksums), std::end(kAcceptedChecksums), value) == std::end(kAcceptedChecksums)) {
    Ref pickle_error = host::import_from("pickle", "PickleError");
    // Formatted by the host's `%`, so that a negative checksum reads as it does there.
    Ref format = host::text("Incompatible checksums (0x%x vs (0x%x, 0x%x, 0x%x) = (repo, repo_path))");
    Ref numbers = host::tuple({host::integer(value).get(), host::integer(kAcceptedChecksums[0]).get(),
                               host::integer(kAcceptedChecksums[1]).get(), host::integer(kAcceptedChecksums[2]).get()});
    Ref message = Ref::check(PyUnicode_Format(format.get(), numbers.get()));
    host::raise_instance(host::call(pickle_error.get(), {message.get()}).get());
  }
  static const host::Interned new_name{"__new__"};
  Ref result = host::call_method(reinterpret_cast<PyObject*>(service_type()), new_name, {type});
  if (state != Py_None) apply_state(Service::from(result.get()), state);
  return result;
}

}  // namespace core
