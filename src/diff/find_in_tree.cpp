// Looking a path up in a tree, one directory level at a time.
#include "core/namespace.h"
#include "diff/diff.h"

namespace diff {

namespace {

// component.encode("utf-8"), strictly: a name git cannot hold raises.
Ref encode_utf8(PyObject* component) {
  if (PyUnicode_CheckExact(component)) return Ref::check(PyUnicode_AsUTF8String(component));
  static const host::Interned encode{"encode"};
  Ref utf8 = host::text("utf-8");
  return host::call_method(component, encode, {utf8.get()});
}

}  // namespace

Ref find_in_tree(Service& self, PyObject* tree, PyObject* path_parts) {
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
