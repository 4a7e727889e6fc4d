#include "status/scan_index.h"

#include <optional>

#include "core/native_refs.h"
#include "store/objects.h"

namespace status {

namespace fs = worktree;

bool IndexEntry::read_sha() {
  static const host::Interned sha_name{"sha"};
  if (sha_state == Sha::Unread) {
    Ref value = host::getattr_optional(entry.get(), sha_name);
    sha_state = value ? Sha::Present : Sha::Missing;
    if (value) sha = ScanId(std::move(value));
  }
  return sha_state == Sha::Present;
}

bool IndexEntry::is_gitlink() const {
  static const host::Interned mode{"mode"};
  constexpr std::uint32_t kGitlink = 0160000;
  if (stored != nullptr) return stored->mode == kGitlink;
  if (!entry) return false;
  Ref value = host::getattr_optional(entry.get(), mode);
  if (!value) return false;
  Ref gitlink = host::integer(kGitlink);
  return host::equal(value.get(), gitlink.get());
}

std::string IndexEntry::file_path(const ScanContext& scan) {
  if (scan.fs_utf8) return scan.file_below_root(key);
  try {
    return scan.file_below_root(core::file_system_bytes(path_text()));
  } catch (const host::Error&) {
    // pathlib reads a path it cannot encode as one that does not exist.
    host::except({PyExc_ValueError});
    return std::string();
  }
}

void HeadMap::load(PyObject* map) {
  Ref dict = Ref::borrow(map);
  if (!PyDict_Check(map)) {
    dict = host::new_dict();
    host::check(PyDict_Merge(dict.get(), map, 1));
  }
  Py_ssize_t position = 0;
  PyObject* path = nullptr;
  PyObject* id = nullptr;
  while (PyDict_Next(dict.get(), &position, &path, &id)) {
    if (!PyUnicode_Check(path)) continue;
    std::string key = utf8_key(path);
    if (ScanId* found = slot_of(key)) {
      *found = ScanId(Ref::borrow(id));
    } else {
      others_.try_emplace(kept_keys_.emplace_back(std::move(key)), ScanId(Ref::borrow(id)));
    }
  }
}

void HeadMap::load(FlatTree files) {
  flat_ = std::move(files);
  const std::vector<FlatTree::Entry>& entries = flat_.entries;
  for (std::size_t i = 0; i < entries.size(); ++i) {
    if (i + kLookAhead < entries.size()) index_.prefetch(flat_.path(entries[i + kLookAhead]));
    const std::string_view path = flat_.path(entries[i]);
    if (ScanId* found = slot_of(path)) {
      *found = ScanId(entries[i].id);
    } else {
      others_.try_emplace(path, ScanId(entries[i].id));
    }
  }
}

namespace {

// The id of the tree of the commit `commit_id` (raw or hexadecimal bytes) as
// the store reads it, the tree itself read too when `read_tree`; nothing
// where the store leaves the commit to dulwich.
std::optional<store::ObjectId> tree_of_commit(core::NativeStore& objects, PyObject* commit_id, bool read_tree) {
  const store::HashFormat format = objects.format();
  std::optional<store::ObjectId> commit = core::hex_object_id(commit_id, format);
  if (!commit && PyBytes_CheckExact(commit_id) &&
      static_cast<std::size_t>(PyBytes_GET_SIZE(commit_id)) == store::id_size(format)) {
    commit = store::ObjectId::from_raw(reinterpret_cast<const std::uint8_t*>(PyBytes_AS_STRING(commit_id)), format);
  }
  if (!commit) return std::nullopt;
  return core::without_gil([&]() -> std::optional<store::ObjectId> {
    store::ObjectType type;
    store::Buffer content;
    if (objects.get().read(*commit, type, content) != store::Outcome::Found || type != store::ObjectType::Commit) {
      return std::nullopt;
    }
    std::optional<store::Commit> parsed = store::parse_commit(content.view(), format);
    if (!parsed) return std::nullopt;
    const store::ObjectId tree = parsed->tree();
    if (read_tree) objects.get().read(tree, type, content);
    return tree;
  });
}

}  // namespace

void IndexAndHead::read_index(PyObject* index_class) {
  static const host::Interned git_dir{".git"};
  static const host::Interned index_name{"index"};
  static const host::Interned items{"items"};
  try {
    Ref repo_path = scan_.self.repo_path();
    Ref git_path = Ref::check(PyNumber_TrueDivide(repo_path.get(), git_dir.get()));
    Ref index_path = Ref::check(PyNumber_TrueDivide(git_path.get(), index_name.get()));
    Ref index_text = host::str(index_path.get());
    read_natively_ = read_index_natively(index_class, core::file_system_bytes(index_text.get()));
    if (read_natively_) return;
    Ref index = open_index(index_class, index_text.get());
    Ref pairs = host::call_method(index.get(), items, {});
    host::for_each(pairs.get(), [&](PyObject* pair) {
      auto [path, entry] = host::unpack_pair(pair);
      index_.add(host::decode_utf8_replace(path.get()), std::move(entry));
    });
  } catch (const host::Error&) {
    host::except_exception();
    index_.clear();
  }
}

// Index(path), told the repository's object format where it is not SHA-1 (the
// library reads an index as SHA-1 unless told).
Ref IndexAndHead::open_index(PyObject* index_class, PyObject* path) {
  static const host::KwNames object_format{"object_format"};
  if (!scan_.format.long_ids()) return host::call(index_class, {path});
  return host::call(index_class, {path}, object_format, {scan_.format.object_format()});
}

// The index read by the store, while the scan's Index is dulwich's own;
// false when the store leaves it to dulwich (a split index, a bad checksum).
bool IndexAndHead::read_index_natively(PyObject* index_class, const std::string& path) {
  if (!scan_.objects || !core::is_library_class(index_class, "dulwich.index", "Index")) return false;
  store::IndexContents& contents = contents_;
  const store::HashFormat format = scan_.objects.format();
  if (core::without_gil([&] { return store::read_index(path, format, contents); }) != store::IndexRead::Read) {
    return false;
  }
  const std::vector<store::IndexEntry>& entries = contents.entries;
  index_.reserve(entries.size());
  for (std::size_t i = 0; i < entries.size(); ++i) {
    const store::IndexEntry& entry = entries[i];
    if (i + kLookAhead < entries.size()) index_.prefetch(contents.path(entries[i + kLookAhead]));
    const std::string_view bytes = contents.path(entry);
    if (host::is_utf8(bytes)) {
      // The stat data was taken of the file the path names on disk.
      const bool vouches = scan_.native_blobs && scan_.fs_utf8 && store::stat_data_vouches(entry, contents.mtime_ns);
      index_.add(Ref(), bytes, entry, vouches);
    } else {
      Ref path_text = host::decode_utf8_replace(host::bytes(bytes).get());
      std::string_view key = index_.keep(utf8_key(path_text.get()));
      index_.add(std::move(path_text), key, entry, false);
    }
  }
  return true;
}

// Through the store while the repository, the map's method and stat are the
// library's and the class's own; else through them.
void IndexAndHead::read_head() {
  static const host::Interned build_head_file_map{"_build_head_file_map"};
  Ref commit_id;
  Ref tree = head_tree(commit_id);
  if (!tree) return;
  if (scan_.objects && read_head_natively(commit_id.get())) return;
  if (!host::truthy(tree.get())) return;
  Ref map = host::call_method(scan_.object.get(), build_head_file_map, {tree.get()});
  head_.load(map.get());
}

// The HEAD map flattened by the store from the commit `commit_id` (raw or
// hexadecimal bytes); false when it declines.
bool IndexAndHead::read_head_natively(PyObject* commit_id) {
  if (!core::DirectoryMode().standard()) return false;
  std::optional<store::ObjectId> tree = tree_of_commit(scan_.objects, commit_id, false);
  if (!tree) return false;
  std::optional<FlatTree> files = flatten(scan_.objects, *tree);
  if (!files) return false;
  head_.load(std::move(*files));
  return true;
}

// The tree of the commit HEAD names, or null when there is none; the
// commit's id in `commit_id`. dulwich offers no module-level read_ref (none
// of its releases has); where it is missing, HEAD is resolved through the
// repository's reference container, which follows the symbolic ref to the
// branch's commit (read natively where nobody can tell).
Ref IndexAndHead::head_tree(Ref& commit_id) {
  static const host::Interned read_ref_name{"read_ref"};
  static const host::Interned tree_name{"tree"};
  try {
    Ref refs_module = host::import_from("dulwich", "refs");
    try {
      Ref repo = scan_.self.repo();
      Ref head = host::bytes("HEAD");
      if (Ref read_ref = host::getattr_optional(refs_module.get(), read_ref_name)) {
        commit_id = host::call(read_ref.get(), {repo.get(), head.get()});
        if (!host::truthy(commit_id.get()) || !scan_.format.raw_size(host::length(commit_id.get()))) return Ref();
      } else {
        commit_id = core::NativeRefs(scan_.self).get(head.get());
      }
      // On the native road the store reads the commit and its tree ahead of
      // dulwich: a file neither may read (a pipe, a device, an object too
      // large) raises here, where dulwich would wait or read without end.
      if (scan_.objects) tree_of_commit(scan_.objects, commit_id.get(), true);
      Ref commit = host::getitem(repo.get(), commit_id.get());
      Ref tree_id = host::getattr(commit.get(), tree_name);
      return host::getitem(repo.get(), tree_id.get());
    } catch (const host::Error&) {
      host::except({PyExc_KeyError, PyExc_AttributeError, PyExc_TypeError, PyExc_ValueError});
      return Ref();
    }
  } catch (const host::Error&) {
    host::except_exception();
    return Ref();
  }
}

void IndexAndHead::compare(Findings& findings) {
  for (IndexEntry& item : index_.entries()) {
    auto report = [&](Change change, bool unstaged) {
      findings.add(std::string(item.key), Ref::borrow(item.path_text()), change, true, unstaged);
    };
    // A link exists when the link itself does, wherever it points. What the
    // hashing ahead found is taken; only what it could not see is asked again.
    const std::string full = item.hashed.known ? std::string() : item.file_path(scan_);
    std::optional<bool> link;
    if (item.hashed.present) {
      link = item.hashed.link;
    } else if (std::optional<fs::FileInfo> info = full.empty() ? std::nullopt : fs::status_of(full, false)) {
      link = info->kind == fs::FileKind::Link;
    }
    if (!link) {
      report(Change::Deleted, false);
      continue;
    }
    if (!readable(item, full, *link)) continue;
    // An unmerged path has no single id; git reports a conflict as changed
    // on both sides.
    if (!item.read_sha()) {
      report(Change::Modified, true);
      continue;
    }
    const ScanId* head_id = HeadMap::find(item);
    if (head_id != nullptr && !head_id->differs_from(item.sha)) continue;
    // A file taken on its stat data was not opened: it is reported only when
    // it could be read, as a file that is read (the walk then finds it
    // unreadable too). Unreported, it answers alike either way.
    if (item.hashed.unread && !fs::could_read(item.file_path(scan_))) {
      item.hashed.known = false;
      continue;
    }
    report(head_id == nullptr ? Change::Staged : Change::Modified, false);
  }
}

// Whether the index pass can read the file (the link's target text for a
// link). Its content is compared in the walk, so it is read but not hashed;
// a file hashed ahead was read already.
bool IndexAndHead::readable(IndexEntry& item, const std::string& full, bool link) {
  if (item.hashed.known && item.hashed.link == link) return true;
  try {
    return link ? fs::read_link(full, buffer_) : fs::read_file(full, buffer_);
  } catch (const host::Error&) {
    host::except_exception();
    return false;
  }
}

}  // namespace status
