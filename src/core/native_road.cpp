#include "core/native_road.h"

#include <cerrno>

#include "core/namespace.h"
#include "platform/files.h"
#include "store/declines.h"

namespace core {

std::string file_system_bytes(PyObject* text) {
  Ref encoded = Ref::check(PyUnicode_EncodeFSDefault(text));
  return std::string(host::bytes_view(encoded.get()));
}

bool is_exactly(PyObject* value, const char* module, const char* name) {
  Ref expected = host::import_from(module, name);
  return reinterpret_cast<PyObject*>(Py_TYPE(value)) == expected.get();
}

std::string git_dir_of(Service& self) {
  Ref root = self.cwd();
  return file_system_bytes(root.get()) + "/.git";
}

std::nullopt_t gate_closed(const char* reason) {
  store::note_decline(reason);
  return std::nullopt;
}

namespace {

std::optional<ObjectDatabase> on_disk_database(Service& self) {
  static const host::Interned object_store_name{"object_store"};
  static const host::Interned path_name{"path"};
  static const host::Interned object_format_name{"object_format"};
  static const host::Interned format_name{"name"};
  static const host::Interned extra_alternates{"_extra_alternate_paths"};
  static const host::Interned size_limit{"loose_object_size_limit"};
  Ref repo = self.repo();
  if (!is_exactly(repo.get(), "dulwich.repo", "Repo")) return gate_closed("gate: repo is not dulwich's Repo");
  Ref store = host::getattr(repo.get(), object_store_name);
  if (!is_exactly(store.get(), "dulwich.object_store", "DiskObjectStore")) {
    return gate_closed("gate: object store is not dulwich's DiskObjectStore");
  }
  Ref format = host::getattr(store.get(), object_format_name);
  Ref format_text = host::getattr(format.get(), format_name);
  if (!PyUnicode_Check(format_text.get())) return gate_closed("gate: object format not named");
  store::HashFormat hash_format;
  if (PyUnicode_CompareWithASCIIString(format_text.get(), "sha1") == 0) {
    hash_format = store::HashFormat::Sha1;
  } else if (PyUnicode_CompareWithASCIIString(format_text.get(), "sha256") == 0) {
    hash_format = store::HashFormat::Sha256;
  } else {
    return gate_closed("gate: object format neither sha1 nor sha256");
  }
  Ref extra = host::getattr_optional(store.get(), extra_alternates);
  if (extra && host::truthy(extra.get())) return gate_closed("gate: object store has extra alternates");
  Ref limit = host::getattr(store.get(), size_limit);
  if (!PyLong_CheckExact(limit.get())) return gate_closed("gate: loose object size limit is not an int");
  const unsigned long long limit_value = PyLong_AsUnsignedLongLong(limit.get());
  if (PyErr_Occurred()) throw host::Error{};

  Ref store_path = host::getattr(store.get(), path_name);
  if (!PyUnicode_CheckExact(store_path.get())) return gate_closed("gate: object store path is not a str");
  ObjectDatabase database{git_dir_of(self), "", limit_value, hash_format};
  database.objects_dir = database.git_dir + "/objects";
  if (file_system_bytes(store_path.get()) != database.objects_dir) {
    return gate_closed("gate: object store is not the root's .git/objects");
  }
  return database;
}

}  // namespace

bool own_method(Service& self, const host::Interned& name) {
  PyObject* own = PyDict_GetItemWithError(service_type()->tp_dict, name.get());
  if (own == nullptr) {
    if (PyErr_Occurred()) throw host::Error{};
    return false;
  }
  Ref bound = host::getattr(self.object(), name);
  return PyMethod_Check(bound.get()) && PyMethod_GET_FUNCTION(bound.get()) == own &&
         PyMethod_GET_SELF(bound.get()) == self.object();
}

std::optional<ObjectDatabase> native_road(Service& self, std::initializer_list<const host::Interned*> siblings) {
  // Anything unexpected on the way (a repository object that raises when
  // asked) simply keeps the method on the road it has always taken.
  try {
    for (const host::Interned* sibling : siblings) {
      if (!own_method(self, *sibling)) return gate_closed("gate: a method the call reaches through self is replaced");
    }
    return on_disk_database(self);
  } catch (const host::Error&) {
    host::except_exception();
    return gate_closed("gate: the repository raised when asked");
  }
}

bool is_library_class(PyObject* cls, const char* module, const char* qualname) {
  static const host::Interned module_name{"__module__"};
  static const host::Interned qualname_name{"__qualname__"};
  if (!PyType_Check(cls)) return false;
  Ref actual_module = host::getattr_optional(cls, module_name);
  Ref actual_qualname = host::getattr_optional(cls, qualname_name);
  return actual_module && actual_qualname && PyUnicode_Check(actual_module.get()) &&
         PyUnicode_Check(actual_qualname.get()) && PyUnicode_CompareWithASCIIString(actual_module.get(), module) == 0 &&
         PyUnicode_CompareWithASCIIString(actual_qualname.get(), qualname) == 0;
}

bool is_dulwich_tree(PyObject* tree) {
  Ref tree_class = host::import_from("dulwich.objects", "Tree");
  return reinterpret_cast<PyObject*>(Py_TYPE(tree)) == tree_class.get();
}

DirectoryMode::DirectoryMode() {
  static const host::Interned stat_name{"stat"};
  static const host::Interned s_isdir{"S_ISDIR"};
  Ref stat_module = global(stat_name);
  function_ = host::getattr(stat_module.get(), s_isdir);
  try {
    native_ = function_.get() == host::import_from("_stat", "S_ISDIR").get();
  } catch (const host::Error&) {
    host::except({PyExc_ImportError});
  }
}

bool DirectoryMode::operator()(PyObject* mode) const {
  if (native_ && PyLong_CheckExact(mode)) {
    int overflow = 0;
    const long long value = PyLong_AsLongLongAndOverflow(mode, &overflow);
    if (overflow == 0 && value >= 0 && value <= 0xFFFFFFFFLL)
      return (value & platform::kModeTypeMask) == platform::kModeDirectory;
  }
  return host::truthy(host::call(function_.get(), {mode}).get());
}

void raise_file_error(const store::FileError& error) {
  Ref path =
      Ref::check(PyUnicode_DecodeFSDefaultAndSize(error.path().data(), static_cast<Py_ssize_t>(error.path().size())));
  if (error.kind() == store::FileError::Kind::NotRegular) {
    Ref number = host::integer(EINVAL);
    Ref text = host::text("Not a regular file");
    host::raise_instance(host::call(PyExc_OSError, {number.get(), text.get(), path.get()}).get());
  }
  Ref message = Ref::check(
      PyUnicode_DecodeFSDefaultAndSize(error.message().data(), static_cast<Py_ssize_t>(error.message().size())));
  host::raise_instance(host::call(PyExc_ValueError, {message.get()}).get());
}

store::ObjectStore& NativeStore::get() {
  if (!store_)
    store_.emplace(database_->git_dir, database_->objects_dir, database_->format,
                   store::StoreOptions{database_->loose_object_size_limit});
  return *store_;
}

}  // namespace core
