// Looking a path up in a tree, one directory level at a time.
#include <algorithm>
#include <optional>
#include <string>
#include <vector>

#include "core/ids.h"
#include "core/namespace.h"
#include "core/native_road.h"
#include "diff/diff.h"
#include "store/declines.h"
#include "store/objects.h"

namespace diff {

namespace {

// component.encode("utf-8"), strictly: a name git cannot hold raises.
Ref encode_utf8(PyObject* component) {
  if (PyUnicode_CheckExact(component)) return Ref::check(PyUnicode_AsUTF8String(component));
  static const host::Interned encode{"encode"};
  Ref utf8 = host::text("utf-8");
  return host::call_method(component, encode, {utf8.get()});
}

// Paths deeper than this are followed through the library, where the host's
// recursion limit bounds them.
constexpr Py_ssize_t kNativeDepth = 64;

// The components of a path the store can follow: a list or tuple of str,
// each given to git's trees in UTF-8. Nothing for anything else.
std::optional<std::vector<std::string>> native_components(PyObject* path_parts) {
  if (!PyList_CheckExact(path_parts) && !PyTuple_CheckExact(path_parts)) return std::nullopt;
  const Py_ssize_t count = PySequence_Fast_GET_SIZE(path_parts);
  if (count == 0 || count > kNativeDepth) return std::nullopt;
  std::vector<std::string> components;
  for (Py_ssize_t i = 0; i < count; ++i) {
    PyObject* component = PySequence_Fast_GET_ITEM(path_parts, i);
    if (!PyUnicode_CheckExact(component)) return std::nullopt;
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(component, &size);
    if (utf8 == nullptr) {
      host::except({PyExc_UnicodeEncodeError});
      return std::nullopt;
    }
    components.emplace_back(utf8, static_cast<std::size_t>(size));
  }
  return components;
}

// The lookup read through the store: nothing when it may not be (the tree
// or the path not the library's plain kind, a replaced method, stat or
// repository) or when the store declines a tree on the way. Kept out of
// line: find_in_tree recurses through the host, and its frame must stay small.
[[gnu::noinline]] std::optional<Ref> find_in_store(Service& self, PyObject* tree, PyObject* path_parts) {
  static const host::Interned find_in_tree_name{"_find_in_tree"};
  static const host::Interned id_name{"id"};
  if (!core::is_dulwich_tree(tree) || !core::DirectoryMode().standard()) return std::nullopt;
  std::optional<std::vector<std::string>> components = native_components(path_parts);
  if (!components) return std::nullopt;
  core::NativeStore objects(core::native_road(self, {&find_in_tree_name}));
  if (!objects) return std::nullopt;
  std::optional<store::ObjectId> tree_id = core::hex_object_id(host::getattr(tree, id_name).get(), objects.format());
  if (!tree_id) return std::nullopt;
  // Found: the entry's id; Missing: None; Declined: the library's road.
  using store::Outcome;
  store::ObjectId found;
  const Outcome outcome = core::without_gil([&]() -> Outcome {
    store::ObjectId current = *tree_id;
    store::ObjectType type;
    store::Buffer content;
    std::vector<store::TreeEntry> entries;
    for (std::size_t i = 0; i < components->size(); ++i) {
      if (const Outcome read = objects.get().read(current, type, content); read != Outcome::Found) {
        return read == Outcome::Missing ? Outcome::declined("tree: not in the store") : read;
      }
      if (type != store::ObjectType::Tree) return Outcome::declined("tree: an object of another type");
      if (!store::parse_tree(content.view(), objects.format(), entries)) {
        return Outcome::declined("tree: not in the plain shape");
      }
      auto entry = std::find_if(entries.begin(), entries.end(),
                                [&](const store::TreeEntry& e) { return e.name == (*components)[i]; });
      if (entry == entries.end()) return Outcome::Missing;
      if (i + 1 == components->size()) {
        found = entry->id;
        return Outcome::Found;
      }
      if (!store::is_directory_mode(entry->mode)) return Outcome::Missing;
      current = entry->id;
    }
    return Outcome::Missing;
  });
  if (outcome == Outcome::Declined) {
    store::note_decline(outcome);
    return std::nullopt;
  }
  return outcome == Outcome::Found ? host::bytes(found.hex()) : Ref::borrow(Py_None);
}

}  // namespace

Ref find_in_tree(Service& self, PyObject* tree, PyObject* path_parts) {
  if (std::optional<Ref> found = find_in_store(self, tree, path_parts)) return std::move(*found);
  if (!host::truthy(path_parts)) return Ref::borrow(Py_None);
  Ref zero = host::integer(0);
  Ref first = host::getitem(path_parts, zero.get());
  Ref name = encode_utf8(first.get());
  if (!host::contains(tree, name.get())) return Ref::borrow(Py_None);
  Ref entry = host::getitem(tree, name.get());
  auto [mode, id] = host::unpack_pair(entry.get());
  if (host::length(path_parts) == 1) return std::move(id);

  static const host::Interned stat_name{"stat"};
  static const host::Interned is_dir{"S_ISDIR"};
  Ref stat = core::global(stat_name);
  if (!host::truthy(host::call_method(stat.get(), is_dir, {mode.get()}).get())) return Ref::borrow(Py_None);
  Ref repo = self.repo();
  Ref subtree = host::getitem(repo.get(), id.get());
  Ref rest = host::slice_from(path_parts, 1);
  // A path can name directories as deep as a tree is nested; the host's
  // recursion limit, not the C stack, bounds how deep we follow it.
  host::RecursionGuard guard(" while finding a path in a tree");
  static const host::Interned find_in_tree_name{"_find_in_tree"};
  return host::call_method(self.object(), find_in_tree_name, {subtree.get(), rest.get()});
}

}  // namespace diff
