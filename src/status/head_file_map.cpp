// The HEAD file map: every file path of a tree, flattened, with its object id.
#include <sys/stat.h>

#include <vector>

#include "core/namespace.h"
#include "status/status.h"

namespace status {

namespace {

// stat.S_ISDIR(mode), with `stat` taken from the module namespace. While that
// is the standard function, a mode held as a plain int in mode_t's range is
// tested natively, as the function itself would test it.
class DirectoryMode {
 public:
  DirectoryMode() {
    static const host::Interned stat_name{"stat"};
    static const host::Interned s_isdir{"S_ISDIR"};
    Ref stat_module = core::global(stat_name);
    function_ = host::getattr(stat_module.get(), s_isdir);
    try {
      native_ = function_.get() == host::import_from("_stat", "S_ISDIR").get();
    } catch (const host::Error&) {
      host::except({PyExc_ImportError});
    }
  }

  bool operator()(PyObject* mode) const {
    if (native_ && PyLong_CheckExact(mode)) {
      int overflow = 0;
      const long long value = PyLong_AsLongLongAndOverflow(mode, &overflow);
      if (overflow == 0 && value >= 0 && value <= 0xFFFFFFFFLL) return S_ISDIR(static_cast<mode_t>(value));
    }
    return host::truthy(host::call(function_.get(), {mode}).get());
  }

 private:
  Ref function_;
  bool native_ = false;
};

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

}  // namespace

Ref build_head_file_map(Service& self, PyObject* tree, PyObject* base_path) {
  Ref file_map = host::new_dict();
  Ref repo = self.repo();
  const DirectoryMode is_directory;
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
