// When objects may be read natively: only where nobody can tell the
// difference from reading them through self.repo.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <optional>
#include <string>

#include "core/service.h"
#include "store/file_error.h"
#include "store/object_store.h"

namespace core {

// Where the repository's objects are, in the file system's bytes, for the
// native object store.
struct ObjectDatabase {
  std::string git_dir;      // <root>/.git
  std::string objects_dir;  // <root>/.git/objects
  std::uint64_t loose_object_size_limit;
  store::HashFormat format;  // the repository's object format
};

// os.fsencode(text), for a str.
std::string file_system_bytes(PyObject* text);

// Notes why the native road is closed to this call (store/declines.h) and
// gives the gate's answer: no native road.
std::nullopt_t gate_closed(const char* reason);

// type(value) is module.name
bool is_exactly(PyObject* value, const char* module, const char* name);

// The repository's git directory in the file system's bytes: <root>/.git.
std::string git_dir_of(Service& self);

// Whether `self.<name>` is the class's own method: not overridden by a
// subclass, nor shadowed in the instance.
bool own_method(Service& self, const host::Interned& name);

// The repository's object database when the native road may be taken:
// self.repo is exactly dulwich's Repo, its object store exactly dulwich's
// on-disk store of the repository root's .git/objects (SHA-1 or SHA-256, no
// alternates beyond its own files), and every method named in `siblings` — those the
// calling method reaches through self — is the class's own. Nothing
// otherwise: the method then reads through self.repo as it always has.
std::optional<ObjectDatabase> native_road(Service& self, std::initializer_list<const host::Interned*> siblings = {});

// Whether the class `cls` is the library's own `module.qualname` (as a test
// double or a host's replacement is not): its __module__ and __qualname__.
bool is_library_class(PyObject* cls, const char* module, const char* qualname);

// type(tree) is dulwich.objects.Tree: a tree whose entries are those the
// store reads under its id.
bool is_dulwich_tree(PyObject* tree);

// stat.S_ISDIR(mode), with `stat` taken from the module namespace. While that
// is the standard function, a mode held as a plain int in mode_t's range is
// tested natively, as the function itself would test it.
class DirectoryMode {
 public:
  DirectoryMode();
  // Whether the test is the standard one, so that a tree's modes may be read natively.
  bool standard() const { return native_; }
  bool operator()(PyObject* mode) const;

 private:
  Ref function_;
  bool native_ = false;
};

// Raises what a file the store refused stands for in the host: OSError(EINVAL,
// "Not a regular file", path) for a pipe, a socket or a device where git keeps
// a regular file, ValueError(message) for a file larger than its kind may be.
[[noreturn]] void raise_file_error(const store::FileError& error);

// host::without_gil for the store's work (objects, refs, the index): every
// native call of a method goes through here, so that a file the store
// refuses to read is raised, once the GIL is back, as the host exception it
// stands for, and the method's own guards treat it as any other.
template <class Work>
auto without_gil(Work&& work) -> decltype(work()) {
  try {
    return host::without_gil(std::forward<Work>(work));
  } catch (const store::FileError& error) {
    raise_file_error(error);
  }
}

// The object store of one method call: opened the first time it is needed,
// afresh for every call (packs come and go between calls).
class NativeStore {
 public:
  explicit NativeStore(std::optional<ObjectDatabase> database) : database_(std::move(database)) {}
  // Whether the native road is open.
  explicit operator bool() const { return database_.has_value(); }
  // The store: call only on the native road, and without the GIL.
  store::ObjectStore& get();
  // The repository's object format: call only on the native road.
  store::HashFormat format() const { return database_->format; }

 private:
  std::optional<ObjectDatabase> database_;
  std::optional<store::ObjectStore> store_;
};

}  // namespace core
