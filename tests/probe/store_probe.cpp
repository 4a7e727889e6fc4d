// _git_store_probe: the tests' window on the native object store. Built only
// with GSC_TEST_PROBE; never shipped. Store calls run without the GIL.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cerrno>
#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "store/commit_graph.h"
#include "store/commit_walk.h"
#include "store/declines.h"
#include "store/file_error.h"
#include "store/index_file.h"
#include "store/object_hash.h"
#include "store/object_store.h"
#include "store/objects.h"
#include "store/pack.h"
#include "store/packed_refs.h"
#include "store/reftable.h"
#include "store/sha256.h"

namespace {

using store::ObjectId;

// Runs `work` (store calls) without the GIL. A file the store refuses to read
// is raised as the module raises it (OSError or ValueError); false then.
// What the store declined in this thread's last run_store, with why (each
// thread its own: several threads may read at once).
thread_local store::Declines g_last_declines;

template <class Work>
bool run_store(Work&& work) {
  std::optional<store::FileError> refused;
  g_last_declines = store::Declines();
  Py_BEGIN_ALLOW_THREADS;
  try {
    const store::Declines::Scope gathering(g_last_declines);
    work();
  } catch (const store::FileError& error) {
    refused = error;
  }
  Py_END_ALLOW_THREADS;
  if (!refused) return true;
  if (refused->kind() == store::FileError::Kind::NotRegular) {
    PyObject* path =
        PyUnicode_DecodeFSDefaultAndSize(refused->path().data(), static_cast<Py_ssize_t>(refused->path().size()));
    PyObject* arguments = path == nullptr ? nullptr : Py_BuildValue("(isN)", EINVAL, "Not a regular file", path);
    if (arguments != nullptr) PyErr_SetObject(PyExc_OSError, arguments);
    Py_XDECREF(arguments);
  } else {
    PyErr_SetString(PyExc_ValueError, refused->what());
  }
  return false;
}

// The object format every call reads in (set_hash_format).
store::HashFormat g_format = store::HashFormat::Sha1;

// set_hash_format("sha1" or "sha256") -> the format set before: what every
// later call reads ids, objects and files in.
PyObject* set_hash_format(PyObject*, PyObject* args) {
  const char* name;
  if (!PyArg_ParseTuple(args, "s", &name)) return nullptr;
  const char* before = g_format == store::HashFormat::Sha1 ? "sha1" : "sha256";
  if (std::string_view(name) == "sha1") {
    g_format = store::HashFormat::Sha1;
  } else if (std::string_view(name) == "sha256") {
    g_format = store::HashFormat::Sha256;
  } else {
    return PyErr_Format(PyExc_ValueError, "not an object format: %s", name);
  }
  return PyUnicode_FromString(before);
}

PyObject* bytes_of(std::string_view text) { return PyBytes_FromStringAndSize(text.data(), text.size()); }
PyObject* hex_of(const ObjectId& id) {
  const std::string hex = id.hex();
  return PyUnicode_FromStringAndSize(hex.data(), static_cast<Py_ssize_t>(hex.size()));
}
bool id_of(const char* hex, ObjectId& id) {
  const auto parsed = ObjectId::from_hex(hex, g_format);
  if (!parsed) {
    PyErr_SetString(PyExc_ValueError, "not a hexadecimal id of the format set");
    return false;
  }
  id = *parsed;
  return true;
}
const char* read_name(store::Outcome read) {
  return read == store::Outcome::Missing ? "missing" : read == store::Outcome::Found ? "found" : "declined";
}
// (type_num, content) or the status text.
PyObject* read_result(store::Outcome read, store::ObjectType type, const store::Buffer& content) {
  if (read != store::Outcome::Found) return PyUnicode_FromString(read_name(read));
  // An empty buffer may have no storage at all: bytes_of gives b"" for it.
  return Py_BuildValue("(iN)", static_cast<int>(type), bytes_of(content.view()));
}

// read_objects(git_dir, objects_dir, [hex, ...], loose_limit=-1, cache_entries=-1) -> [result, ...]
PyObject* read_objects(PyObject*, PyObject* args) {
  const char *git_dir, *objects_dir;
  PyObject* hexes;
  long long loose_limit = -1, cache_entries = -1;
  if (!PyArg_ParseTuple(args, "ssO!|LL", &git_dir, &objects_dir, &PyList_Type, &hexes, &loose_limit, &cache_entries)) {
    return nullptr;
  }
  std::vector<ObjectId> ids(PyList_GET_SIZE(hexes));
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(hexes); ++i) {
    const char* hex = PyUnicode_AsUTF8(PyList_GET_ITEM(hexes, i));
    if (hex == nullptr || !id_of(hex, ids[i])) return nullptr;
  }
  store::StoreOptions options;
  if (loose_limit >= 0) options.loose_object_size_limit = static_cast<std::uint64_t>(loose_limit);
  if (cache_entries >= 0) options.base_cache_entries = static_cast<std::size_t>(cache_entries);
  struct Result {
    store::Outcome read = store::Outcome::Missing;
    store::ObjectType type;
    store::Buffer content;
  };
  std::vector<Result> results(ids.size());
  const bool read = run_store([&] {
    store::ObjectStore objects(git_dir, objects_dir, g_format, options);
    for (std::size_t i = 0; i < ids.size(); ++i)
      results[i].read = objects.read(ids[i], results[i].type, results[i].content);
  });
  if (!read) return nullptr;
  PyObject* list = PyList_New(static_cast<Py_ssize_t>(ids.size()));
  if (list == nullptr) return nullptr;
  for (std::size_t i = 0; i < ids.size(); ++i) {
    PyObject* item = read_result(results[i].read, results[i].type, results[i].content);
    if (item == nullptr) {
      Py_DECREF(list);
      return nullptr;
    }
    PyList_SET_ITEM(list, static_cast<Py_ssize_t>(i), item);
  }
  return list;
}

// pack_count(git_dir, objects_dir) -> int
PyObject* pack_count(PyObject*, PyObject* args) {
  const char *git_dir, *objects_dir;
  if (!PyArg_ParseTuple(args, "ss", &git_dir, &objects_dir)) return nullptr;
  std::size_t count = 0;
  if (!run_store([&] { count = store::ObjectStore(git_dir, objects_dir, g_format).pack_count(); })) return nullptr;
  return PyLong_FromSize_t(count);
}

// parse_commit(bytes) -> (tree, [parents], author, commit_time, message) or
// None; author and message None when absent, commit_time None when dulwich
// gives None and "overflows" beyond 64 bits.
PyObject* parse_commit(PyObject*, PyObject* args) {
  const char* data;
  Py_ssize_t size;
  if (!PyArg_ParseTuple(args, "y#", &data, &size)) return nullptr;
  const auto commit = store::parse_commit(std::string_view(data, size), g_format);
  if (!commit) Py_RETURN_NONE;
  PyObject* parents = PyList_New(0);
  for (std::size_t i = 0; parents != nullptr && i < commit->parent_count(); ++i) {
    PyObject* parent = bytes_of(commit->parent_hex(i));
    if (parent == nullptr || PyList_Append(parents, parent) != 0) Py_CLEAR(parents);
    Py_XDECREF(parent);
  }
  if (parents == nullptr) return nullptr;
  PyObject* author = commit->author ? bytes_of(store::unfolded(*commit->author)) : Py_NewRef(Py_None);
  PyObject* time = commit->commit_time             ? PyLong_FromLongLong(*commit->commit_time)
                   : commit->commit_time_overflows ? PyUnicode_FromString("overflows")
                                                   : Py_NewRef(Py_None);
  PyObject* message = commit->message ? bytes_of(*commit->message) : Py_NewRef(Py_None);
  if (author == nullptr || time == nullptr || message == nullptr) {
    Py_DECREF(parents);
    Py_XDECREF(author);
    Py_XDECREF(time);
    Py_XDECREF(message);
    return nullptr;
  }
  return Py_BuildValue("(y#NNNN)", commit->tree_hex.data(), static_cast<Py_ssize_t>(commit->tree_hex.size()), parents,
                       author, time, message);
}

PyObject* entry_list(const std::vector<store::TreeEntry>& entries) {
  PyObject* list = PyList_New(static_cast<Py_ssize_t>(entries.size()));
  if (list == nullptr) return nullptr;
  for (std::size_t i = 0; i < entries.size(); ++i) {
    const std::string hex = entries[i].id.hex();
    PyObject* item = Py_BuildValue("(y#Iy#)", entries[i].name.data(), static_cast<Py_ssize_t>(entries[i].name.size()),
                                   entries[i].mode, hex.data(), static_cast<Py_ssize_t>(hex.size()));
    if (item == nullptr) {
      Py_DECREF(list);
      return nullptr;
    }
    PyList_SET_ITEM(list, static_cast<Py_ssize_t>(i), item);
  }
  return list;
}

// parse_tree(bytes) -> [(name, mode, hex bytes)] or None
PyObject* parse_tree(PyObject*, PyObject* args) {
  const char* data;
  Py_ssize_t size;
  if (!PyArg_ParseTuple(args, "y#", &data, &size)) return nullptr;
  std::vector<store::TreeEntry> entries;
  if (!store::parse_tree(std::string_view(data, size), g_format, entries)) Py_RETURN_NONE;
  return entry_list(entries);
}

// plain_tag(bytes) -> bool
PyObject* plain_tag(PyObject*, PyObject* args) {
  const char* data;
  Py_ssize_t size;
  if (!PyArg_ParseTuple(args, "y#", &data, &size)) return nullptr;
  return PyBool_FromLong(store::plain_tag(std::string_view(data, size), g_format));
}

// parses_like_dulwich(type number, bytes) -> bool
PyObject* parses_like_dulwich(PyObject*, PyObject* args) {
  int type;
  const char* data;
  Py_ssize_t size;
  if (!PyArg_ParseTuple(args, "iy#", &type, &data, &size)) return nullptr;
  if (type < 1 || type > 4) return PyErr_Format(PyExc_ValueError, "not an object type: %d", type);
  return PyBool_FromLong(
      store::parses_like_dulwich(static_cast<store::ObjectType>(type), std::string_view(data, size), g_format));
}

// (version, [(path, hex bytes or None, mode, flags, extended_flags)]) or None
PyObject* index_result(store::IndexRead read, const store::IndexContents& contents) {
  if (read != store::IndexRead::Read) Py_RETURN_NONE;
  PyObject* list = PyList_New(static_cast<Py_ssize_t>(contents.entries.size()));
  if (list == nullptr) return nullptr;
  for (std::size_t i = 0; i < contents.entries.size(); ++i) {
    const store::IndexEntry& entry = contents.entries[i];
    const std::string_view path = contents.path(entry);
    PyObject* id;
    if (entry.conflicted) {
      id = Py_NewRef(Py_None);
    } else {
      const std::string hex = entry.id.hex();
      id = PyBytes_FromStringAndSize(hex.data(), static_cast<Py_ssize_t>(hex.size()));
    }
    PyObject* item = id == nullptr ? nullptr
                                   : Py_BuildValue("(y#NIII)", path.data(), static_cast<Py_ssize_t>(path.size()), id,
                                                   entry.mode, unsigned{entry.flags}, unsigned{entry.extended_flags});
    if (item == nullptr) {
      Py_DECREF(list);
      return nullptr;
    }
    PyList_SET_ITEM(list, static_cast<Py_ssize_t>(i), item);
  }
  return Py_BuildValue("(IN)", contents.version, list);
}

PyObject* parse_index(PyObject*, PyObject* args) {
  const char* data;
  Py_ssize_t size;
  if (!PyArg_ParseTuple(args, "y#", &data, &size)) return nullptr;
  store::IndexContents contents;
  const store::IndexRead read = store::parse_index(std::string_view(data, size), g_format, contents);
  return index_result(read, contents);
}

PyObject* read_index(PyObject*, PyObject* args) {
  const char* path;
  if (!PyArg_ParseTuple(args, "s", &path)) return nullptr;
  store::IndexContents contents;
  store::IndexRead read = store::IndexRead::Declined;
  if (!run_store([&] { read = store::read_index(path, g_format, contents); })) return nullptr;
  return index_result(read, contents);
}

// [(hex, [parent positions] or None)] in position order, or None. A row whose
// parent fields reach outside the graph has None: walks decline where they
// read it.
PyObject* graph_dump(const store::CommitGraph* graph) {
  if (graph == nullptr) Py_RETURN_NONE;
  PyObject* list = PyList_New(graph->size());
  if (list == nullptr) return nullptr;
  std::vector<store::GraphPosition> parents;
  for (std::uint32_t i = 0; i < graph->size(); ++i) {
    const store::GraphPosition position(i);
    parents.clear();
    ObjectId id;
    if (!graph->id_at(position, id)) {
      Py_DECREF(list);
      return PyErr_Format(PyExc_RuntimeError, "position %u outside the graph", i);
    }
    PyObject* positions = nullptr;
    if (graph->parents(position, parents)) {
      positions = PyList_New(static_cast<Py_ssize_t>(parents.size()));
      for (std::size_t k = 0; positions != nullptr && k < parents.size(); ++k) {
        PyList_SET_ITEM(positions, static_cast<Py_ssize_t>(k), PyLong_FromUnsignedLong(parents[k].value()));
      }
    } else {
      positions = Py_NewRef(Py_None);
    }
    PyObject* item = positions == nullptr ? nullptr : Py_BuildValue("(NN)", hex_of(id), positions);
    if (item == nullptr) {
      Py_DECREF(list);
      return nullptr;
    }
    PyList_SET_ITEM(list, i, item);
  }
  return list;
}

// graph_parse([layer bytes, ...]) -> dump or None
PyObject* graph_parse(PyObject*, PyObject* args) {
  PyObject* layers;
  if (!PyArg_ParseTuple(args, "O!", &PyList_Type, &layers)) return nullptr;
  std::vector<std::string_view> views;
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(layers); ++i) {
    PyObject* layer = PyList_GET_ITEM(layers, i);
    if (!PyBytes_Check(layer)) {
      PyErr_SetString(PyExc_TypeError, "layers must be bytes");
      return nullptr;
    }
    views.emplace_back(PyBytes_AS_STRING(layer), PyBytes_GET_SIZE(layer));
  }
  const auto graph = store::CommitGraph::parse(views, g_format);
  return graph_dump(graph.get());
}

// graph_open(git_dir, objects_dir) -> dump or None
PyObject* graph_open(PyObject*, PyObject* args) {
  const char *git_dir, *objects_dir;
  if (!PyArg_ParseTuple(args, "ss", &git_dir, &objects_dir)) return nullptr;
  std::unique_ptr<store::ObjectStore> objects;
  const store::CommitGraph* graph = nullptr;
  const bool opened = run_store([&] {
    objects = std::make_unique<store::ObjectStore>(git_dir, objects_dir, g_format);
    graph = objects->commit_graph();
  });
  if (!opened) return nullptr;
  return graph_dump(graph);
}

// graph_find(git_dir, objects_dir, hex) -> position or None
PyObject* graph_find(PyObject*, PyObject* args) {
  const char *git_dir, *objects_dir, *hex;
  ObjectId id;
  if (!PyArg_ParseTuple(args, "sss", &git_dir, &objects_dir, &hex) || !id_of(hex, id)) return nullptr;
  std::optional<store::GraphPosition> position;
  const bool found = run_store([&] {
    store::ObjectStore objects(git_dir, objects_dir, g_format);
    const store::CommitGraph* graph = objects.commit_graph();
    if (graph != nullptr) position = graph->find(id);
  });
  if (!found) return nullptr;
  if (!position) Py_RETURN_NONE;
  return PyLong_FromUnsignedLong(position->value());
}

// count_reachable(git_dir, objects_dir, head hex, base hex or None) -> the
// count, or None when a walk declined (last_declines() says why)
PyObject* count_reachable(PyObject*, PyObject* args) {
  const char *git_dir, *objects_dir, *head_hex;
  PyObject* base_hex;
  ObjectId head;
  if (!PyArg_ParseTuple(args, "sssO", &git_dir, &objects_dir, &head_hex, &base_hex) || !id_of(head_hex, head)) {
    return nullptr;
  }
  std::optional<ObjectId> base;
  if (base_hex != Py_None) {
    const char* hex = PyUnicode_AsUTF8(base_hex);
    if (hex == nullptr || !id_of(hex, base.emplace())) return nullptr;
  }
  std::optional<std::int64_t> counted;
  const bool walked = run_store([&] {
    store::ObjectStore objects(git_dir, objects_dir, g_format);
    counted = store::count_reachable(objects, head, base);
  });
  if (!walked) return nullptr;
  if (!counted) Py_RETURN_NONE;
  return PyLong_FromLongLong(*counted);
}

// parse_pack_entry(pack bytes, offset) -> (type, size, data offset, base offset or base hex) or None
PyObject* parse_pack_entry(PyObject*, PyObject* args) {
  const char* data;
  Py_ssize_t size;
  unsigned long long offset;
  if (!PyArg_ParseTuple(args, "y#K", &data, &size, &offset)) return nullptr;
  store::PackEntry entry;
  if (!store::parse_pack_entry(reinterpret_cast<const std::uint8_t*>(data), size, g_format, offset, entry))
    Py_RETURN_NONE;
  PyObject* base = entry.kind == store::EntryKind::OffsetDelta ? PyLong_FromUnsignedLongLong(entry.base)
                   : entry.kind == store::EntryKind::ReferenceDelta
                       ? hex_of(ObjectId::from_raw(entry.base_id, g_format))
                       : Py_NewRef(Py_None);
  return Py_BuildValue("(iKKN)", static_cast<int>(entry.kind), static_cast<unsigned long long>(entry.size),
                       static_cast<unsigned long long>(entry.data), base);
}

// apply_delta(base, delta) -> bytes or None
PyObject* apply_delta(PyObject*, PyObject* args) {
  const char *base, *delta;
  Py_ssize_t base_size, delta_size;
  if (!PyArg_ParseTuple(args, "y#y#", &base, &base_size, &delta, &delta_size)) return nullptr;
  store::Buffer result;
  if (!store::apply_delta(reinterpret_cast<const std::uint8_t*>(base), base_size,
                          reinterpret_cast<const std::uint8_t*>(delta), delta_size, result)) {
    Py_RETURN_NONE;
  }
  return bytes_of(result.view());
}

// inflate(zlib bytes, size) -> bytes or None (a whole stream of exactly `size` bytes)
PyObject* inflate(PyObject*, PyObject* args) {
  const char* data;
  Py_ssize_t size;
  unsigned long long out_size;
  if (!PyArg_ParseTuple(args, "y#K", &data, &size, &out_size)) return nullptr;
  if (!store::inflatable(out_size, static_cast<std::uint64_t>(size))) Py_RETURN_NONE;
  store::Inflater inflater;
  store::Buffer out;
  out.resize(out_size + store::kInflateSlack);
  if (!inflater.inflate_exact(reinterpret_cast<const std::uint8_t*>(data), size, out.data(), out_size)) {
    Py_RETURN_NONE;
  }
  out.resize(out_size);
  return bytes_of(out.view());
}

// flatten_tree(git_dir, objects_dir, hex) -> [(path, mode, hex)] or None
PyObject* flatten_tree(PyObject*, PyObject* args) {
  const char *git_dir, *objects_dir, *hex;
  ObjectId id;
  if (!PyArg_ParseTuple(args, "sss", &git_dir, &objects_dir, &hex) || !id_of(hex, id)) return nullptr;
  struct Item {
    std::string path;
    std::uint32_t mode;
    ObjectId id;
  };
  std::vector<Item> items;
  bool complete = false;
  const bool flattened = run_store([&] {
    store::ObjectStore objects(git_dir, objects_dir, g_format);
    complete = store::flatten_tree(objects, id, [&](std::string_view path, std::uint32_t mode, const ObjectId& entry) {
      items.push_back(Item{std::string(path), mode, entry});
    });
  });
  if (!flattened) return nullptr;
  if (!complete) Py_RETURN_NONE;
  PyObject* list = PyList_New(static_cast<Py_ssize_t>(items.size()));
  if (list == nullptr) return nullptr;
  for (std::size_t i = 0; i < items.size(); ++i) {
    const std::string entry_hex = items[i].id.hex();
    PyObject* item = Py_BuildValue("(y#Iy#)", items[i].path.data(), static_cast<Py_ssize_t>(items[i].path.size()),
                                   items[i].mode, entry_hex.data(), static_cast<Py_ssize_t>(entry_hex.size()));
    if (item == nullptr) {
      Py_DECREF(list);
      return nullptr;
    }
    PyList_SET_ITEM(list, static_cast<Py_ssize_t>(i), item);
  }
  return list;
}

// sha1(data, portable=False) -> hex
PyObject* sha1(PyObject*, PyObject* args) {
  Py_buffer data;
  int portable = 0;
  if (!PyArg_ParseTuple(args, "y*|p", &data, &portable)) return nullptr;
  ObjectId id;
  Py_BEGIN_ALLOW_THREADS;
  store::Sha1 sha(portable ? store::Sha1::Engine::Portable : store::Sha1::Engine::Best);
  // Fed in uneven pieces, so that the carrying of partial blocks is exercised.
  const auto* bytes = static_cast<const std::uint8_t*>(data.buf);
  std::size_t left = static_cast<std::size_t>(data.len), step = 1;
  while (left != 0) {
    const std::size_t take = step < left ? step : left;
    sha.update(bytes, take);
    bytes += take;
    left -= take;
    step = step * 3 + 1;
  }
  id = sha.finish();
  Py_END_ALLOW_THREADS;
  PyBuffer_Release(&data);
  return hex_of(id);
}

// object_id(type_num, data) -> hex
PyObject* object_id(PyObject*, PyObject* args) {
  int type;
  Py_buffer data;
  if (!PyArg_ParseTuple(args, "iy*", &type, &data)) return nullptr;
  const ObjectId id = store::object_id(g_format, static_cast<store::ObjectType>(type), data.buf, data.len);
  PyBuffer_Release(&data);
  return hex_of(id);
}

// hex_id(text) -> (is a SHA-1 id's lowercase digits, is a SHA-256 id's,
// the raw id its digits of either case spell or None): the id readers.
PyObject* hex_id(PyObject*, PyObject* args) {
  const char* text;
  Py_ssize_t size;
  if (!PyArg_ParseTuple(args, "y#", &text, &size)) return nullptr;
  const std::string_view digits(text, static_cast<std::size_t>(size));
  const std::optional<ObjectId> parsed = ObjectId::from_hex(digits);
  PyObject* raw =
      parsed ? bytes_of({reinterpret_cast<const char*>(parsed->data()), parsed->size()}) : Py_NewRef(Py_None);
  return Py_BuildValue("(OON)", store::is_hex_id(digits, store::HashFormat::Sha1) ? Py_True : Py_False,
                       store::is_hex_id(digits, store::HashFormat::Sha256) ? Py_True : Py_False, raw);
}

// spell_id(raw) -> the lowercase digits of a 20- or 32-byte id.
PyObject* spell_id(PyObject*, PyObject* args) {
  const char* raw;
  Py_ssize_t size;
  if (!PyArg_ParseTuple(args, "y#", &raw, &size)) return nullptr;
  if (size != 20 && size != 32) return PyErr_Format(PyExc_ValueError, "an id has 20 or 32 bytes");
  const auto format = size == 20 ? store::HashFormat::Sha1 : store::HashFormat::Sha256;
  return hex_of(ObjectId::from_raw(reinterpret_cast<const std::uint8_t*>(raw), format));
}

PyObject* sha1_hardware(PyObject*, PyObject*) { return PyBool_FromLong(store::Sha1::hardware_available()); }

// sha256(data, portable=False, cuts=None) -> hex
// Fed in the pieces between the ascending offsets `cuts`, or else in uneven
// pieces, so that the carrying of partial blocks is exercised.
PyObject* sha256(PyObject*, PyObject* args) {
  Py_buffer data;
  int portable = 0;
  PyObject* cuts_given = Py_None;
  if (!PyArg_ParseTuple(args, "y*|pO", &data, &portable, &cuts_given)) return nullptr;
  const auto size = static_cast<std::size_t>(data.len);
  std::vector<std::size_t> cuts;
  if (cuts_given != Py_None) {
    PyObject* sequence = PySequence_Fast(cuts_given, "cuts must be a sequence of offsets");
    const Py_ssize_t count = sequence == nullptr ? 0 : PySequence_Fast_GET_SIZE(sequence);
    for (Py_ssize_t i = 0; i < count; ++i) {
      const std::size_t cut = PyLong_AsSize_t(PySequence_Fast_GET_ITEM(sequence, i));
      if (PyErr_Occurred()) break;
      if (cut > size || (!cuts.empty() && cut < cuts.back())) {
        PyErr_SetString(PyExc_ValueError, "cuts must ascend within the data");
        break;
      }
      cuts.push_back(cut);
    }
    Py_XDECREF(sequence);
    if (PyErr_Occurred()) {
      PyBuffer_Release(&data);
      return nullptr;
    }
  } else {
    for (std::size_t cut = 0, step = 1; cut < size; step = step * 3 + 1) cuts.push_back(cut += step);
  }
  std::uint8_t digest[store::Sha256::kDigestSize];
  Py_BEGIN_ALLOW_THREADS;
  store::Sha256 sha(portable ? store::Sha256::Engine::Portable : store::Sha256::Engine::Best);
  const auto* bytes = static_cast<const std::uint8_t*>(data.buf);
  std::size_t done = 0;
  for (const std::size_t cut : cuts) {
    const std::size_t end = cut < size ? cut : size;
    sha.update(bytes + done, end - done);
    done = end;
  }
  sha.update(bytes + done, size - done);
  sha.finish(digest);
  Py_END_ALLOW_THREADS;
  PyBuffer_Release(&data);
  static constexpr char kDigits[] = "0123456789abcdef";
  char hex[2 * sizeof digest];
  for (std::size_t i = 0; i < sizeof digest; ++i) {
    hex[2 * i] = kDigits[digest[i] >> 4];
    hex[2 * i + 1] = kDigits[digest[i] & 15];
  }
  return PyUnicode_FromStringAndSize(hex, sizeof hex);
}

PyObject* sha256_hardware(PyObject*, PyObject*) { return PyBool_FromLong(store::Sha256::hardware_available()); }

// packed_refs(text, [name, ...], prefix) -> None when the file is not plain,
// else (found, listed): found maps each name found to its hex digits (both
// bytes); listed is [(name, hex), ...] for the names under prefix, or
// "declined".
PyObject* packed_refs(PyObject*, PyObject* args) {
  Py_buffer text, prefix;
  PyObject* names;
  if (!PyArg_ParseTuple(args, "y*O!y*", &text, &PyList_Type, &names, &prefix)) return nullptr;
  const std::string_view view(static_cast<const char*>(text.buf), static_cast<std::size_t>(text.len));
  const std::string_view under(static_cast<const char*>(prefix.buf), static_cast<std::size_t>(prefix.len));
  PyObject* result = nullptr;
  const store::PackedRefsShape shape = store::check_packed_refs(view);
  if (!shape.plain) {
    result = Py_NewRef(Py_None);
  } else {
    const store::PackedRefs refs(view, shape);
    PyObject* found = PyDict_New();
    PyObject* listed = PyList_New(0);
    bool failed = found == nullptr || listed == nullptr;
    for (Py_ssize_t i = 0; !failed && i < PyList_GET_SIZE(names); ++i) {
      PyObject* name = PyList_GET_ITEM(names, i);
      if (!PyBytes_Check(name)) {
        PyErr_SetString(PyExc_TypeError, "names must be bytes");
        failed = true;
        break;
      }
      std::string_view hex;
      const store::Outcome read =
          refs.find({PyBytes_AS_STRING(name), static_cast<std::size_t>(PyBytes_GET_SIZE(name))}, hex);
      if (read == store::Outcome::Declined) {
        PyErr_SetString(PyExc_AssertionError, "a lookup in a plain file declined");
        failed = true;
      } else if (read == store::Outcome::Found) {
        PyObject* digits = bytes_of(hex);
        failed = digits == nullptr || PyDict_SetItem(found, name, digits) != 0;
        Py_XDECREF(digits);
      }
    }
    const store::Outcome read = failed ? store::Outcome::declined("probe: failed")
                                       : refs.for_each(under, [&](std::string_view name, std::string_view hex) {
                                           PyObject* pair = Py_BuildValue("(NN)", bytes_of(name), bytes_of(hex));
                                           if (pair == nullptr || PyList_Append(listed, pair) != 0) failed = true;
                                           Py_XDECREF(pair);
                                         });
    if (!failed && read == store::Outcome::Declined) {
      Py_SETREF(listed, PyUnicode_FromString("declined"));
      failed = listed == nullptr;
    }
    if (!failed) result = Py_BuildValue("(OO)", found, listed);
    Py_XDECREF(found);
    Py_XDECREF(listed);
  }
  PyBuffer_Release(&text);
  PyBuffer_Release(&prefix);
  return result;
}

// [(name, kind, value, update_index), ...] of reftable records (bytes, int,
// bytes, int), or null with an exception set.
PyObject* reftable_records(const std::vector<store::ReftableRef>& refs) {
  PyObject* list = PyList_New(0);
  for (const store::ReftableRef& ref : refs) {
    if (list == nullptr) return nullptr;
    PyObject* item = Py_BuildValue("(NiNK)", bytes_of(ref.name), static_cast<int>(ref.kind), bytes_of(ref.value),
                                   static_cast<unsigned long long>(ref.update_index));
    if (item == nullptr || PyList_Append(list, item) != 0) Py_CLEAR(list);
    Py_XDECREF(item);
  }
  return list;
}

// reftable(data) -> None when git would not read the table (last_declines()
// says why), else (version, id_size, min_update_index, max_update_index,
// records).
PyObject* reftable(PyObject*, PyObject* args) {
  Py_buffer data;
  if (!PyArg_ParseTuple(args, "y*", &data)) return nullptr;
  store::Reftable table;
  store::Outcome read = store::Outcome::declined("probe: not read");
  const bool ran = run_store([&] {
    read = store::note_decline(
        store::read_reftable({static_cast<const char*>(data.buf), static_cast<std::size_t>(data.len)}, table));
  });
  PyBuffer_Release(&data);
  if (!ran) return nullptr;
  if (read != store::Outcome::Found) Py_RETURN_NONE;
  return Py_BuildValue("(inKKN)", static_cast<int>(table.version), static_cast<Py_ssize_t>(table.id_size),
                       static_cast<unsigned long long>(table.min_update_index),
                       static_cast<unsigned long long>(table.max_update_index), reftable_records(table.refs));
}

// reftable_as_dulwich(data) -> None where the replay of dulwich's reading
// raises or is unsure, else (min_update_index, {name: (type, value)}).
PyObject* reftable_as_dulwich(PyObject*, PyObject* args) {
  Py_buffer data;
  if (!PyArg_ParseTuple(args, "y*", &data)) return nullptr;
  store::DulwichReftable table;
  bool read = false;
  Py_BEGIN_ALLOW_THREADS;
  read =
      store::read_reftable_as_dulwich({static_cast<const char*>(data.buf), static_cast<std::size_t>(data.len)}, table);
  Py_END_ALLOW_THREADS;
  PyBuffer_Release(&data);
  if (!read) Py_RETURN_NONE;
  PyObject* refs = PyDict_New();
  for (const auto& [name, record] : table.refs) {
    if (refs == nullptr) return nullptr;
    PyObject* key = bytes_of(name);
    PyObject* value = Py_BuildValue("(iN)", static_cast<int>(record.first), bytes_of(record.second));
    if (key == nullptr || value == nullptr || PyDict_SetItem(refs, key, value) != 0) Py_CLEAR(refs);
    Py_XDECREF(key);
    Py_XDECREF(value);
  }
  if (refs == nullptr) return nullptr;
  return Py_BuildValue("(KN)", static_cast<unsigned long long>(table.min_update_index), refs);
}

// reftable_stack(git_dir) -> None when declined, else (id_size,
// dulwich_reads, records).
PyObject* reftable_stack(PyObject*, PyObject* args) {
  const char* git_dir;
  if (!PyArg_ParseTuple(args, "s", &git_dir)) return nullptr;
  store::ReftableStack stack;
  store::Outcome read = store::Outcome::declined("probe: not read");
  if (!run_store([&] { read = store::note_decline(stack.read(git_dir)); })) return nullptr;
  if (read != store::Outcome::Found) Py_RETURN_NONE;
  return Py_BuildValue("(nON)", static_cast<Py_ssize_t>(stack.id_size()), stack.dulwich_reads() ? Py_True : Py_False,
                       reftable_records(stack.refs()));
}

// reftable_refs(git_dir, [name, ...], prefix) -> (resolved, read, listed),
// one ReftableRefs answering all: resolved maps each name to its id's
// digits, ("missing", name) or "declined"; read maps it to (symbolic, text),
// "missing" or "declined"; listed is [(name, hex), ...] under prefix or
// "declined".
PyObject* reftable_refs(PyObject*, PyObject* args) {
  const char* git_dir;
  PyObject* names;
  Py_buffer prefix;
  if (!PyArg_ParseTuple(args, "sO!y*", &git_dir, &PyList_Type, &names, &prefix)) return nullptr;
  const std::string under(static_cast<const char*>(prefix.buf), static_cast<std::size_t>(prefix.len));
  PyBuffer_Release(&prefix);
  std::vector<std::string> wanted;
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(names); ++i) {
    PyObject* name = PyList_GET_ITEM(names, i);
    if (!PyBytes_Check(name)) {
      PyErr_SetString(PyExc_TypeError, "names must be bytes");
      return nullptr;
    }
    wanted.emplace_back(PyBytes_AS_STRING(name), static_cast<std::size_t>(PyBytes_GET_SIZE(name)));
  }
  store::ReftableRefs refs(git_dir);
  struct Answer {
    store::Outcome resolved = store::Outcome::Missing, read = store::Outcome::Missing;
    std::string hex, missing, text;
    bool symbolic = false;
  };
  std::vector<Answer> answers(wanted.size());
  std::vector<std::pair<std::string, std::string>> listed;
  store::Outcome listing = store::Outcome::declined("probe: not read");
  const bool ran = run_store([&] {
    for (std::size_t i = 0; i < wanted.size(); ++i) {
      Answer& answer = answers[i];
      answer.resolved = refs.resolve(wanted[i], answer.hex, answer.missing);
      answer.read = refs.read_ref(wanted[i], answer.symbolic, answer.text);
    }
    listing = refs.for_each(under, [&](std::string_view name, std::string_view hex) {
      listed.emplace_back(std::string(name), std::string(hex));
    });
  });
  if (!ran) return nullptr;
  PyObject* resolved = PyDict_New();
  PyObject* read = PyDict_New();
  PyObject* list = listing == store::Outcome::Declined ? PyUnicode_FromString("declined") : PyList_New(0);
  bool failed = resolved == nullptr || read == nullptr || list == nullptr;
  for (std::size_t i = 0; !failed && i < wanted.size(); ++i) {
    const Answer& answer = answers[i];
    PyObject* key = bytes_of(wanted[i]);
    PyObject* one = answer.resolved == store::Outcome::Found ? bytes_of(answer.hex)
                    : answer.resolved == store::Outcome::Missing
                        ? Py_BuildValue("(sN)", "missing", bytes_of(answer.missing))
                        : PyUnicode_FromString("declined");
    PyObject* two = answer.read == store::Outcome::Found
                        ? Py_BuildValue("(ON)", answer.symbolic ? Py_True : Py_False, bytes_of(answer.text))
                    : answer.read == store::Outcome::Missing ? PyUnicode_FromString("missing")
                                                             : PyUnicode_FromString("declined");
    failed = key == nullptr || one == nullptr || two == nullptr || PyDict_SetItem(resolved, key, one) != 0 ||
             PyDict_SetItem(read, key, two) != 0;
    Py_XDECREF(key);
    Py_XDECREF(one);
    Py_XDECREF(two);
  }
  if (!failed && listing != store::Outcome::Declined) {
    for (const auto& [name, hex] : listed) {
      PyObject* pair = Py_BuildValue("(NN)", bytes_of(name), bytes_of(hex));
      failed = pair == nullptr || PyList_Append(list, pair) != 0;
      Py_XDECREF(pair);
      if (failed) break;
    }
  }
  PyObject* result = failed ? nullptr : Py_BuildValue("(OOO)", resolved, read, list);
  Py_XDECREF(resolved);
  Py_XDECREF(read);
  Py_XDECREF(list);
  return result;
}

PyObject* clear_mapping_cache(PyObject*, PyObject*) {
  store::clear_mapping_cache();
  Py_RETURN_NONE;
}

// time_reads(git_dir, objects_dir, [hex], rounds, parse) -> seconds per read,
// after one warming round; `parse` also parses each commit.
PyObject* time_reads(PyObject*, PyObject* args) {
  const char *git_dir, *objects_dir;
  PyObject* hexes;
  int rounds, parse;
  if (!PyArg_ParseTuple(args, "ssO!ip", &git_dir, &objects_dir, &PyList_Type, &hexes, &rounds, &parse)) return nullptr;
  std::vector<ObjectId> ids(PyList_GET_SIZE(hexes));
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(hexes); ++i) {
    const char* hex = PyUnicode_AsUTF8(PyList_GET_ITEM(hexes, i));
    if (hex == nullptr || !id_of(hex, ids[i])) return nullptr;
  }
  double seconds = 0;
  long long failures = 0;
  Py_BEGIN_ALLOW_THREADS;
  store::ObjectStore objects(git_dir, objects_dir, g_format);
  store::Buffer content;
  store::ObjectType type;
  for (const ObjectId& id : ids) objects.read(id, type, content);
  const auto start = std::chrono::steady_clock::now();
  for (int round = 0; round < rounds; ++round) {
    for (const ObjectId& id : ids) {
      if (objects.read(id, type, content) != store::Outcome::Found) ++failures;
      if (parse && !store::parse_commit(content.view(), g_format)) ++failures;
    }
  }
  seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  Py_END_ALLOW_THREADS;
  if (failures != 0) return PyErr_Format(PyExc_RuntimeError, "%lld reads failed", failures);
  return PyFloat_FromDouble(seconds / (static_cast<double>(rounds) * static_cast<double>(ids.size())));
}

// time_open(git_dir, objects_dir, rounds) -> seconds per store opened
PyObject* time_open(PyObject*, PyObject* args) {
  const char *git_dir, *objects_dir;
  int rounds;
  if (!PyArg_ParseTuple(args, "ssi", &git_dir, &objects_dir, &rounds)) return nullptr;
  double seconds = 0;
  Py_BEGIN_ALLOW_THREADS;
  {
    store::ObjectStore warm(git_dir, objects_dir, g_format);
  }
  const auto start = std::chrono::steady_clock::now();
  for (int round = 0; round < rounds; ++round) store::ObjectStore objects(git_dir, objects_dir, g_format);
  seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  Py_END_ALLOW_THREADS;
  return PyFloat_FromDouble(seconds / rounds);
}

// time_graph(git_dir, objects_dir, [hex], rounds) -> (seconds to open the graph in a new store, seconds per
// lookup+parents)
PyObject* time_graph(PyObject*, PyObject* args) {
  const char *git_dir, *objects_dir;
  PyObject* hexes;
  int rounds;
  if (!PyArg_ParseTuple(args, "ssO!i", &git_dir, &objects_dir, &PyList_Type, &hexes, &rounds)) return nullptr;
  std::vector<ObjectId> ids(PyList_GET_SIZE(hexes));
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(hexes); ++i) {
    const char* hex = PyUnicode_AsUTF8(PyList_GET_ITEM(hexes, i));
    if (hex == nullptr || !id_of(hex, ids[i])) return nullptr;
  }
  double open_seconds = 0, lookup_seconds = 0;
  bool missing = false;
  const store::CommitGraph* graph = nullptr;
  std::uint64_t sum = 0;
  std::unique_ptr<store::ObjectStore> kept;
  Py_BEGIN_ALLOW_THREADS;
  {
    store::ObjectStore(git_dir, objects_dir, g_format).commit_graph();
  }
  auto start = std::chrono::steady_clock::now();
  for (int round = 0; round < rounds; ++round) {
    store::ObjectStore objects(git_dir, objects_dir, g_format);
    if (objects.commit_graph() == nullptr) missing = true;
  }
  open_seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count() / rounds;
  kept = std::make_unique<store::ObjectStore>(git_dir, objects_dir, g_format);
  graph = kept->commit_graph();
  std::vector<store::GraphPosition> parents;
  start = std::chrono::steady_clock::now();
  for (int round = 0; graph != nullptr && round < rounds; ++round) {
    for (const ObjectId& id : ids) {
      const auto position = graph->find(id);
      if (!position) continue;
      parents.clear();
      graph->parents(*position, parents);
      sum += parents.size();
    }
  }
  lookup_seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  Py_END_ALLOW_THREADS;
  if (missing || graph == nullptr) return PyErr_Format(PyExc_RuntimeError, "no usable commit-graph");
  (void)sum;
  return Py_BuildValue("(dd)", open_seconds,
                       lookup_seconds / (static_cast<double>(rounds) * static_cast<double>(ids.size())));
}

// last_declines() -> [(reason, file fingerprint or None), ...]: why the
// store declined in the last call of this module that ran it, in order.
PyObject* last_declines(PyObject*, PyObject*) {
  PyObject* list = PyList_New(0);
  if (list == nullptr) return nullptr;
  for (const store::Decline& decline : g_last_declines.all()) {
    const std::string text = store::reason_text(decline.reason, decline.has_number, decline.number);
    PyObject* item = decline.file == 0
                         ? Py_BuildValue("(sO)", text.c_str(), Py_None)
                         : Py_BuildValue("(sK)", text.c_str(), static_cast<unsigned long long>(decline.file));
    if (item == nullptr || PyList_Append(list, item) != 0) {
      Py_XDECREF(item);
      Py_DECREF(list);
      return nullptr;
    }
    Py_DECREF(item);
  }
  return list;
}

PyMethodDef methods[] = {
    {"last_declines", last_declines, METH_NOARGS, nullptr},
    {"read_objects", read_objects, METH_VARARGS, nullptr},
    {"pack_count", pack_count, METH_VARARGS, nullptr},
    {"parse_commit", parse_commit, METH_VARARGS, nullptr},
    {"parse_tree", parse_tree, METH_VARARGS, nullptr},
    {"plain_tag", plain_tag, METH_VARARGS, nullptr},
    {"parses_like_dulwich", parses_like_dulwich, METH_VARARGS, nullptr},
    {"parse_index", parse_index, METH_VARARGS, nullptr},
    {"read_index", read_index, METH_VARARGS, nullptr},
    {"graph_parse", graph_parse, METH_VARARGS, nullptr},
    {"graph_open", graph_open, METH_VARARGS, nullptr},
    {"graph_find", graph_find, METH_VARARGS, nullptr},
    {"count_reachable", count_reachable, METH_VARARGS, nullptr},
    {"parse_pack_entry", parse_pack_entry, METH_VARARGS, nullptr},
    {"apply_delta", apply_delta, METH_VARARGS, nullptr},
    {"inflate", inflate, METH_VARARGS, nullptr},
    {"flatten_tree", flatten_tree, METH_VARARGS, nullptr},
    {"sha1", sha1, METH_VARARGS, nullptr},
    {"set_hash_format", set_hash_format, METH_VARARGS, nullptr},
    {"object_id", object_id, METH_VARARGS, nullptr},
    {"hex_id", hex_id, METH_VARARGS, nullptr},
    {"spell_id", spell_id, METH_VARARGS, nullptr},
    {"sha1_hardware", sha1_hardware, METH_NOARGS, nullptr},
    {"sha256", sha256, METH_VARARGS, nullptr},
    {"sha256_hardware", sha256_hardware, METH_NOARGS, nullptr},
    {"packed_refs", packed_refs, METH_VARARGS, nullptr},
    {"reftable", reftable, METH_VARARGS, nullptr},
    {"reftable_as_dulwich", reftable_as_dulwich, METH_VARARGS, nullptr},
    {"reftable_stack", reftable_stack, METH_VARARGS, nullptr},
    {"reftable_refs", reftable_refs, METH_VARARGS, nullptr},
    {"clear_mapping_cache", clear_mapping_cache, METH_NOARGS, nullptr},
    {"time_reads", time_reads, METH_VARARGS, nullptr},
    {"time_open", time_open, METH_VARARGS, nullptr},
    {"time_graph", time_graph, METH_VARARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module = {PyModuleDef_HEAD_INIT,
                      "_git_store_probe",
                      "Test-only access to the native object store.",
                      -1,
                      methods,
                      nullptr,
                      nullptr,
                      nullptr,
                      nullptr};

}  // namespace

PyMODINIT_FUNC PyInit__git_store_probe() { return PyModule_Create(&module); }
