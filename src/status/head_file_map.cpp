// The HEAD file map: every file path of a tree, flattened, with its object id.
#include <vector>

#include "core/ids.h"
#include "core/namespace.h"
#include "core/native_road.h"
#include "status/status.h"
#include "status/tree_store.h"
#include "store/objects.h"

namespace status {

namespace {

// name.decode() for bytes; any other name as it is.
Ref entry_name(PyObject* name) {
  if (PyBytes_CheckExact(name)) {
    return Ref::check(PyUnicode_DecodeUTF8(PyBytes_AS_STRING(name), PyBytes_GET_SIZE(name), "strict"));
  }
  if (PyBytes_Check(name)) {
    static const host::Interned decode{"decode"};
    return host::call_method(name, decode, {});
  }
  return Ref::borrow(name);
}

// path_prefix + "/" + name
Ref join_path(PyObject* prefix, PyObject* name) {
  static const host::Interned slash{"/"};
  if (PyUnicode_CheckExact(prefix) && PyUnicode_CheckExact(name)) return host::concat({prefix, slash.get(), name});
  Ref with_slash = Ref::check(PyNumber_Add(prefix, slash.get()));
  return Ref::check(PyNumber_Add(with_slash.get(), name));
}

// A tree being read: its entries are visited in its own iteration order.
struct Level {
  Ref tree;
  Ref names;
  Ref prefix;
};

// The map read through the store: null when it may not be (a tree that is
// not dulwich's own, a replaced stat module, a base path that is no str, no
// native road) or when the store declines a tree, or a name is no UTF-8 (the
// library's pass then raises where it meets it).
Ref head_file_map_from_store(Service& self, PyObject* tree, PyObject* base_path,
                             const core::DirectoryMode& is_directory) {
  static const host::Interned id_name{"id"};
  if (!is_directory.standard() || !PyUnicode_CheckExact(base_path) || !core::is_dulwich_tree(tree)) return Ref();
  core::NativeStore objects(core::native_road(self));
  if (!objects) return Ref();
  std::optional<store::ObjectId> tree_id = core::hex_object_id(host::getattr(tree, id_name).get(), objects.format());
  if (!tree_id) return Ref();
  std::optional<FlatTree> files = flatten(objects, *tree_id);
  if (!files) return Ref();
  Ref file_map = host::new_dict();
  Ref prefix = PyUnicode_GET_LENGTH(base_path) != 0 ? host::concat({base_path, host::text("/").get()}) : Ref();
  for (const FlatTree::Entry& entry : files->entries) {
    Ref path = host::text(files->path(entry));
    if (prefix) path = host::concat({prefix.get(), path.get()});
    host::set_item(file_map.get(), path.get(), host::bytes(entry.id.hex()).get());
  }
  return file_map;
}

}  // namespace

std::optional<FlatTree> flatten(core::NativeStore& objects, const store::ObjectId& tree) {
  return core::without_gil([&]() -> std::optional<FlatTree> {
    FlatTree files;
    bool fits = true;
    // HEAD's trees are read again by the next scan: keep them.
    objects.get().keep_reads(true);
    const bool complete =
        store::flatten_tree(objects.get(), tree, [&](std::string_view path, std::uint32_t, const store::ObjectId& id) {
          fits = fits && host::is_utf8(path) && files.paths.size() + path.size() <= UINT32_MAX;
          if (!fits) return;
          files.entries.push_back(
              {static_cast<std::uint32_t>(files.paths.size()), static_cast<std::uint32_t>(path.size()), id});
          files.paths.append(path);
        });
    if (!complete || !fits) return std::nullopt;
    return files;
  });
}

Ref build_head_file_map(Service& self, PyObject* tree, PyObject* base_path) {
  const core::DirectoryMode is_directory;
  if (Ref file_map = head_file_map_from_store(self, tree, base_path, is_directory)) return file_map;
  Ref file_map = host::new_dict();
  Ref repo = self.repo();
  // Depth-first with a stack of open trees instead of recursion, so that no
  // nesting depth can exhaust the native stack; a subtree's entries are
  // inserted where the subtree is met, as a recursive pass would insert them.
  std::vector<Level> stack;
  stack.push_back({Ref::borrow(tree), Ref::check(PyObject_GetIter(tree)), Ref::borrow(base_path)});
  while (!stack.empty()) {
    Ref name = Ref::steal(PyIter_Next(stack.back().names.get()));
    if (!name) {
      if (PyErr_Occurred()) throw host::Error{};
      stack.pop_back();
      continue;
    }
    const Level& level = stack.back();
    Ref entry = host::getitem(level.tree.get(), name.get());
    auto [mode, sha] = host::unpack_pair(entry.get());
    Ref name_text = entry_name(name.get());
    Ref full_path =
        host::truthy(level.prefix.get()) ? join_path(level.prefix.get(), name_text.get()) : std::move(name_text);
    if (is_directory(mode.get())) {
      Ref subtree = host::getitem(repo.get(), sha.get());
      Ref names = Ref::check(PyObject_GetIter(subtree.get()));
      stack.push_back({std::move(subtree), std::move(names), std::move(full_path)});
    } else {
      host::set_item(file_map.get(), full_path.get(), sha.get());
    }
  }
  return file_map;
}

}  // namespace status
