// The fallback scan: the index compared with HEAD, then the working tree
// walked and compared with both, without git.
//
// Paths are looked up natively by their UTF-8 form, which has the equality
// and the code-point order of the host's str: index paths (decoded with
// replacement), the HEAD map's paths and the walk's paths (decoded as the
// host decodes file names) meet exactly when the host's strs would be equal.
#include "status/scan.h"

#include <algorithm>
#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "core/ids.h"
#include "core/native_refs.h"
#include "core/native_road.h"
#include "core/records.h"
#include "status/nested_head.h"
#include "status/path_map.h"
#include "status/tree_store.h"
#include "status/worktree.h"
#include "store/index_file.h"
#include "store/object_hash.h"
#include "store/objects.h"

namespace status {

namespace {

using core::Service;
using host::Ref;
namespace fs = worktree;

// How far ahead of a pass through many paths their places in a map are fetched.
constexpr std::size_t kLookAhead = 8;

enum class Change : std::uint8_t { Deleted, Staged, Modified, Untracked };

const host::Interned& change_name(Change change) {
  static const host::Interned deleted{"deleted"};
  static const host::Interned staged{"staged"};
  static const host::Interned modified{"modified"};
  static const host::Interned untracked{"untracked"};
  switch (change) {
    case Change::Deleted:
      return deleted;
    case Change::Staged:
      return staged;
    case Change::Untracked:
      return untracked;
    case Change::Modified:
      break;
  }
  return modified;
}

// The UTF-8 form of a str, lone surrogates written as their three bytes.
std::string key_of(PyObject* text) {
  Py_ssize_t size = 0;
  if (const char* utf8 = PyUnicode_AsUTF8AndSize(text, &size)) return std::string(utf8, static_cast<std::size_t>(size));
  if (!PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) throw host::Error{};
  PyErr_Clear();
  Ref encoded = Ref::check(PyUnicode_AsEncodedString(text, "utf-8", "surrogatepass"));
  return std::string(PyBytes_AS_STRING(encoded.get()), static_cast<std::size_t>(PyBytes_GET_SIZE(encoded.get())));
}

// An object id as the scan compares them: read or hashed natively, or the
// host's own value where the library's road gave it (an index entry's sha,
// a map's value, a Blob's id).
class ScanId {
 public:
  ScanId() = default;
  explicit ScanId(const store::ObjectId& id) : native_(id) {}
  explicit ScanId(Ref id) : host_(std::move(id)) {}

  // self != other, as the host compares the two values.
  bool differs_from(const ScanId& other) const {
    if (native_ && other.native_) return *native_ != *other.native_;
    return host::not_equal(host_value().get(), other.host_value().get());
  }

 private:
  Ref host_value() const { return native_ ? host::bytes(native_->hex()) : host_.copy(); }

  std::optional<store::ObjectId> native_;
  Ref host_;
};

// One index entry under its decoded path. Its `sha` is read once, when first
// needed (or when the store read the index); an unmerged path's entry has none.
struct IndexEntry {
  Ref path;              // null until needed for an entry whose key is UTF-8 text
  std::string_view key;  // into storage the scan keeps
  Ref entry;             // the library's entry, on its road
  enum class Sha : std::uint8_t { Unread, Present, Missing } sha_state = Sha::Unread;
  ScanId sha;
  fs::FileHash hashed;                        // its file hashed ahead of the passes
  const store::IndexEntry* stored = nullptr;  // the entry, when the store read the index
  bool vouches = false;                       // its stat data may vouch for the file's content
  bool in_head = false;                       // HEAD has the path too, with the id below
  ScanId head = {};
};

// index_entries: decoded path -> entry, in the index's order. Two byte paths
// that decode alike are one entry, as one dict key: the first path's place
// and text, the last one's entry.
class IndexEntries {
 public:
  void add(Ref path, Ref entry) {
    std::string_view key = keep(key_of(path.get()));
    at(std::move(path), key).entry = std::move(entry);
  }
  // An entry the store read (its key in storage that outlives the scan's
  // passes; its id none for an unmerged path), and whether its stat data
  // may vouch for the file. `path` may be null when the key is the path's
  // UTF-8 text.
  void add(Ref path, std::string_view key, const store::IndexEntry& stored, bool vouches) {
    IndexEntry& item = at(std::move(path), key);
    item.sha_state = stored.conflicted ? IndexEntry::Sha::Missing : IndexEntry::Sha::Present;
    item.sha = stored.conflicted ? ScanId() : ScanId(stored.id);
    item.stored = &stored;
    item.vouches = vouches;
  }
  // A key made here, kept for the life of the entries.
  std::string_view keep(std::string key) { return kept_keys_.emplace_back(std::move(key)); }
  void reserve(std::size_t count) {
    entries_.reserve(count);
    positions_.reserve(count);
  }
  void clear() {
    entries_.clear();
    positions_.clear();
  }
  std::vector<IndexEntry>& entries() { return entries_; }
  IndexEntry* find(std::string_view key) {
    const std::size_t* position = positions_.find(key);
    return position == nullptr ? nullptr : &entries_[*position];
  }
  const IndexEntry* find(std::string_view key) const { return const_cast<IndexEntries*>(this)->find(key); }
  void prefetch(std::string_view key) const { positions_.prefetch(key); }
  // The entry's path as the host's text.
  static PyObject* path_of(IndexEntry& item) {
    if (!item.path) item.path = host::text(item.key);
    return item.path.get();
  }

 private:
  // The entry of `key`, made new at the end of the order for a new key; an
  // entry's entry-specific fields are then set by the caller (the first
  // path's place and text stay, the last one's entry wins).
  IndexEntry& at(Ref path, std::string_view key) {
    auto [position, added] = positions_.try_emplace(key, entries_.size());
    if (!added) {
      IndexEntry& item = entries_[*position];
      IndexEntry kept{std::move(item.path), item.key, Ref(), IndexEntry::Sha::Unread, {}, {}};
      item = std::move(kept);
      return item;
    }
    entries_.push_back({std::move(path), key, Ref(), IndexEntry::Sha::Unread, {}, {}});
    return entries_.back();
  }

  std::vector<IndexEntry> entries_;
  PathMap<std::size_t> positions_;
  std::deque<std::string> kept_keys_;
};

// head_file_map, keyed natively. The id of a path the index has too is kept
// with its index entry (where the index pass finds it without a lookup), the
// others in a map of their own. Paths that are not str can never equal a
// path the scan looks up, so they are left out.
class HeadMap {
 public:
  explicit HeadMap(IndexEntries& index) : index_(index) {}

  void load(PyObject* map) {
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
      std::string key = key_of(path);
      if (ScanId* found = slot_of(key)) {
        *found = ScanId(Ref::borrow(id));
      } else {
        others_.try_emplace(kept_keys_.emplace_back(std::move(key)), ScanId(Ref::borrow(id)));
      }
    }
  }
  // The map the store flattened: paths in UTF-8, as keys are. The entries
  // are kept with the map.
  void load(FlatTree files) {
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
  // HEAD's id of `key`, or of the entry's path; null where HEAD lacks it.
  const ScanId* find(std::string_view key) const {
    if (const IndexEntry* item = index_.find(key)) return find(*item);
    return others_.find(key);
  }
  static const ScanId* find(const IndexEntry& item) { return item.in_head ? &item.head : nullptr; }

 private:
  // Where the id of `key` goes: with its index entry, or in the map of the
  // others where it is there already; null for a path new to both.
  ScanId* slot_of(std::string_view key) {
    if (IndexEntry* item = index_.find(key)) {
      item->in_head = true;
      return &item->head;
    }
    return others_.find(key);
  }

  IndexEntries& index_;
  PathMap<ScanId> others_;
  FlatTree flat_;
  std::deque<std::string> kept_keys_;
};

// What the passes found of one path, in their order: the index pass's
// findings first (step 0), then the walk's by its steps.
struct Finding {
  std::string key;
  Ref path;
  Change change;
  bool staged;
  bool unstaged;
  std::uint32_t step;
};

// A tracked file the walk met while the indexed files were still being
// hashed, compared once they are: its paths are the entry's own unless given.
struct Deferred {
  IndexEntry* item;
  std::uint32_t step;
  bool link;
  std::unique_ptr<std::pair<std::string, std::string>> full_and_rel;
};

// A directory's identity, to know the directories on the walk's path.
struct DirectoryId {
  std::uint64_t device;
  std::uint64_t inode;
  bool operator==(const DirectoryId&) const = default;
};

class Scan {
 public:
  Scan(Service& self, Ref blob_class);

  Ref run(PyObject* index_class);

 private:
  void read_index(PyObject* index_class);
  Ref open_index(PyObject* index_class, PyObject* path);
  bool read_index_natively(PyObject* index_class, const std::string& path);
  void read_head();
  bool read_head_natively(PyObject* commit_id);
  std::optional<store::ObjectId> tree_of_commit(PyObject* commit_id, bool read_tree);
  Ref head_tree(Ref& commit_id);
  void start_hashing();
  void finish_hashing();
  void index_pass();
  void walk();
  void walk_directory(const std::string& full, const std::string& rel, const DirectoryId* through_link = nullptr);
  void examine(const std::string& full, const std::string& rel, const fs::DirectoryEntry& entry, bool& searchable);
  void compare_file(const std::string& full, const std::string& rel, std::string_view key, bool link, bool keyed);
  void compare_content(IndexEntry* item, const ScanId* head_id, const std::string* full, std::string_view rel,
                       std::string_view key, bool link, std::uint32_t step);
  void compare_deferred();
  bool nested_repository(const std::string& full, const std::string& rel);
  std::optional<ScanId> nested_head_id(const std::string& full);
  bool index_holds_files_under(std::string_view key);
  bool is_gitlink(const IndexEntry& item);
  bool readable(IndexEntry& item, const std::string& full, bool link);
  bool read_sha(IndexEntry& item);
  std::optional<ScanId> blob_id(const std::string& full, bool link);
  std::string index_file_path(IndexEntry& item);
  std::string_view walk_key(const std::string& rel, std::string& made);
  Ref rel_path_text(std::string_view rel);
  void add(std::string key, Ref path, Change change, bool staged, bool unstaged, std::uint32_t step = 0);
  Ref records();

  Service& self_;
  Ref object_;
  Ref blob_;
  // The repository's object format: SHA-256 ids are read from the index and
  // computed for blobs through the library in that format.
  core::IdFormat format_{self_};
  core::NativeStore objects_;
  // Blob ids computed here rather than through dulwich's Blob (while it is
  // dulwich's own class, which gives the same ids).
  bool native_blobs_;
  Ref compiled_gitignore_;
  std::string root_;
  bool fs_utf8_ = false;
  bool index_read_natively_ = false;
  store::IndexContents index_contents_;  // what index_'s keys point into
  IndexEntries index_;
  HeadMap head_{index_};
  std::vector<Finding> findings_;
  std::uint32_t walk_steps_ = 0;
  // The hashing ahead, while it runs: one job per index entry.
  std::vector<fs::HashJob> jobs_;
  std::deque<std::string> job_paths_;
  std::optional<fs::FileHasher> hasher_;
  std::vector<Deferred> deferred_;
  std::vector<DirectoryId> on_path_;
  std::set<std::pair<std::uint64_t, std::uint64_t>> entered_through_links_;
  std::optional<PathMap<char>> index_directories_;  // made when first needed
  fs::Buffer buffer_;
};

// The scan's native road: the repository is the library's, and so are the
// methods it reaches through self (the HEAD file map and the ignore tests).
std::optional<core::ObjectDatabase> scan_road(Service& self) {
  static const host::Interned build_head_file_map{"_build_head_file_map"};
  static const host::Interned compile_gitignore_patterns{"_compile_gitignore_patterns"};
  static const host::Interned is_path_ignored{"_is_path_ignored"};
  static const host::Interned is_directory_ignored{"_is_directory_ignored"};
  return core::native_road(
      self, {&build_head_file_map, &compile_gitignore_patterns, &is_path_ignored, &is_directory_ignored});
}

Scan::Scan(Service& self, Ref blob_class)
    : self_(self),
      object_(Ref::borrow(self.object())),
      blob_(std::move(blob_class)),
      objects_(scan_road(self)),
      native_blobs_(objects_ && core::is_library_class(blob_.get(), "dulwich.objects", "Blob")) {}

Ref Scan::run(PyObject* index_class) {
  static const host::Interned compile_gitignore_patterns{"_compile_gitignore_patterns"};
  Ref repo_path = self_.repo_path();
  Ref root_text = host::str(repo_path.get());
  Ref root_bytes = Ref::check(PyUnicode_EncodeFSDefault(root_text.get()));
  root_.assign(PyBytes_AS_STRING(root_bytes.get()), static_cast<std::size_t>(PyBytes_GET_SIZE(root_bytes.get())));
  // File names read from the disk are keyed by their bytes when the host
  // decodes them as UTF-8 (the usual case); otherwise through their text.
  Ref sys = host::import("sys");
  static const host::Interned encoding{"getfilesystemencoding"};
  static const host::Interned errors{"getfilesystemencodeerrors"};
  Ref fs_encoding = host::call_method(sys.get(), encoding, {});
  Ref fs_errors = host::call_method(sys.get(), errors, {});
  fs_utf8_ = PyUnicode_Check(fs_encoding.get()) && PyUnicode_Check(fs_errors.get()) &&
             PyUnicode_CompareWithASCIIString(fs_encoding.get(), "utf-8") == 0 &&
             PyUnicode_CompareWithASCIIString(fs_errors.get(), "surrogateescape") == 0;

  read_index(index_class);
  start_hashing();
  read_head();
  compiled_gitignore_ = host::call_method(object_.get(), compile_gitignore_patterns, {});
  if (index_read_natively_) {
    // The index pass asks nothing of the host where the store read the
    // index: it may follow the walk, which then runs while the files are
    // hashed. Findings keep the passes' order.
    walk();
    finish_hashing();
    index_pass();
    compare_deferred();
  } else {
    finish_hashing();
    index_pass();
    walk();
  }
  return records();
}

// index_entries from Index(str(repo_path / ".git" / "index")); empty when
// the index cannot be opened or read.
void Scan::read_index(PyObject* index_class) {
  static const host::Interned git_dir{".git"};
  static const host::Interned index_name{"index"};
  static const host::Interned items{"items"};
  try {
    Ref repo_path = self_.repo_path();
    Ref git_path = Ref::check(PyNumber_TrueDivide(repo_path.get(), git_dir.get()));
    Ref index_path = Ref::check(PyNumber_TrueDivide(git_path.get(), index_name.get()));
    Ref index_text = host::str(index_path.get());
    if (PyUnicode_Check(index_text.get())) {
      Ref index_bytes = Ref::check(PyUnicode_EncodeFSDefault(index_text.get()));
      const std::string path(PyBytes_AS_STRING(index_bytes.get()), PyBytes_GET_SIZE(index_bytes.get()));
      index_read_natively_ = read_index_natively(index_class, path);
      if (index_read_natively_) return;
    }
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
Ref Scan::open_index(PyObject* index_class, PyObject* path) {
  static const host::KwNames object_format{"object_format"};
  if (!format_.long_ids()) return host::call(index_class, {path});
  return host::call(index_class, {path}, object_format, {format_.object_format()});
}

// The index read by the store, while the scan's Index is dulwich's own;
// false when the store leaves it to dulwich (a split index, a bad checksum).
bool Scan::read_index_natively(PyObject* index_class, const std::string& path) {
  if (!objects_ || !core::is_library_class(index_class, "dulwich.index", "Index")) return false;
  store::IndexContents& contents = index_contents_;
  if (core::without_gil([&] { return store::read_index(path, objects_.format(), contents); }) != store::IndexRead::Read)
    return false;
  const std::vector<store::IndexEntry>& entries = contents.entries;
  index_.reserve(entries.size());
  for (std::size_t i = 0; i < entries.size(); ++i) {
    const store::IndexEntry& entry = entries[i];
    if (i + kLookAhead < entries.size()) index_.prefetch(contents.path(entries[i + kLookAhead]));
    const std::string_view bytes = contents.path(entry);
    if (host::is_utf8(bytes)) {
      // The stat data was taken of the file the path names on disk.
      const bool vouches = native_blobs_ && fs_utf8_ && store::stat_data_vouches(entry, contents.mtime_ns);
      index_.add(Ref(), bytes, entry, vouches);
    } else {
      Ref path = host::decode_utf8_replace(host::bytes(bytes).get());
      std::string_view key = index_.keep(key_of(path.get()));
      index_.add(std::move(path), key, entry, false);
    }
  }
  return true;
}

// head_file_map: the files of HEAD's tree, or nothing when there is no HEAD
// tree to read. Through the store while the repository, the map's method and
// stat are the library's and the class's own; else through them.
void Scan::read_head() {
  static const host::Interned build_head_file_map{"_build_head_file_map"};
  Ref commit_id;
  Ref tree = head_tree(commit_id);
  if (!tree) return;
  if (objects_ && read_head_natively(commit_id.get())) return;
  if (!host::truthy(tree.get())) return;
  Ref map = host::call_method(object_.get(), build_head_file_map, {tree.get()});
  head_.load(map.get());
}

// The HEAD map flattened by the store from the commit `commit_id` (raw or
// hexadecimal bytes); false when it declines.
bool Scan::read_head_natively(PyObject* commit_id) {
  if (!core::DirectoryMode().standard()) return false;
  std::optional<store::ObjectId> tree = tree_of_commit(commit_id, false);
  if (!tree) return false;
  std::optional<FlatTree> files = flatten(objects_, *tree);
  if (!files) return false;
  head_.load(std::move(*files));
  return true;
}

// The id of the tree of the commit `commit_id` (raw or hexadecimal bytes) as
// the store reads it, the tree itself read too when `read_tree`; nothing
// where the store leaves the commit to dulwich.
std::optional<store::ObjectId> Scan::tree_of_commit(PyObject* commit_id, bool read_tree) {
  const store::HashFormat format = objects_.format();
  std::optional<store::ObjectId> commit = core::hex_object_id(commit_id, format);
  if (!commit && PyBytes_CheckExact(commit_id) &&
      static_cast<std::size_t>(PyBytes_GET_SIZE(commit_id)) == store::id_size(format)) {
    commit = store::ObjectId::from_raw(reinterpret_cast<const std::uint8_t*>(PyBytes_AS_STRING(commit_id)), format);
  }
  if (!commit) return std::nullopt;
  return core::without_gil([&]() -> std::optional<store::ObjectId> {
    store::ObjectType type;
    store::Buffer content;
    if (objects_.get().read(*commit, type, content) != store::Outcome::Found || type != store::ObjectType::Commit) {
      return std::nullopt;
    }
    std::optional<store::Commit> parsed = store::parse_commit(content.view(), format);
    if (!parsed) return std::nullopt;
    const store::ObjectId tree = parsed->tree();
    if (read_tree) objects_.get().read(tree, type, content);
    return tree;
  });
}

// The tree of the commit HEAD names, or null when there is none; the
// commit's id in `commit_id`. dulwich offers no module-level read_ref (none
// of its releases has); where it is missing, HEAD is resolved through the
// repository's reference container, which follows the symbolic ref to the
// branch's commit (read natively where nobody can tell).
Ref Scan::head_tree(Ref& commit_id) {
  static const host::Interned read_ref_name{"read_ref"};
  static const host::Interned tree_name{"tree"};
  try {
    Ref refs_module = host::import_from("dulwich", "refs");
    try {
      Ref repo = self_.repo();
      Ref head = host::bytes("HEAD");
      if (Ref read_ref = host::getattr_optional(refs_module.get(), read_ref_name)) {
        commit_id = host::call(read_ref.get(), {repo.get(), head.get()});
        if (!host::truthy(commit_id.get()) || !format_.raw_size(host::length(commit_id.get()))) return Ref();
      } else {
        commit_id = core::NativeRefs(self_).get(head.get());
      }
      // On the native road the store reads the commit and its tree ahead of
      // dulwich: a file neither may read (a pipe, a device, an object too
      // large) raises here, where dulwich would wait or read without end.
      if (objects_) tree_of_commit(commit_id.get(), true);
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

// Starts reading and hashing every indexed file ahead of the passes, on as
// many threads as the machine has cores, without the GIL: a working tree of
// tens of thousands of files is read in a fraction of the time, while HEAD
// is read (and the tree walked). A file whose stat data is still what the
// index recorded is taken to hold the entry's content, as git takes it, and
// not read. A file that cannot be read this way is left to the passes, which
// read it as before.
void Scan::start_hashing() {
  if (!native_blobs_) return;
  std::vector<IndexEntry>& entries = index_.entries();
  jobs_.resize(entries.size());
  for (std::size_t i = 0; i < entries.size(); ++i) {
    IndexEntry& item = entries[i];
    // An index path names the file root_/key where file names are UTF-8.
    std::string_view path = item.key;
    if (!fs_utf8_) {
      const std::string full = index_file_path(item);
      path = full.empty() ? std::string_view() : job_paths_.emplace_back(full, root_.size() + 1);
    }
    jobs_[i] = {path, item.vouches ? item.stored : nullptr, {}};
  }
  hasher_.emplace(root_, objects_.format(), jobs_);
  deferred_.reserve(entries.size());
}

void Scan::finish_hashing() {
  if (!hasher_) return;
  core::without_gil([&] { hasher_->finish(); });
  hasher_.reset();
  std::vector<IndexEntry>& entries = index_.entries();
  for (std::size_t i = 0; i < entries.size(); ++i) entries[i].hashed = jobs_[i].hash;
  jobs_ = std::vector<fs::HashJob>();
  job_paths_.clear();
}

// The index compared with HEAD: staged deletions, additions and changes.
void Scan::index_pass() {
  std::vector<IndexEntry>& entries = index_.entries();
  for (std::size_t i = 0; i < entries.size(); ++i) {
    IndexEntry& item = entries[i];
    // A link exists when the link itself does, wherever it points. What the
    // hashing ahead found is taken; only what it could not see is asked again.
    const std::string full = item.hashed.known ? std::string() : index_file_path(item);
    std::optional<bool> link;
    if (item.hashed.present) {
      link = item.hashed.link;
    } else if (std::optional<fs::FileInfo> info = full.empty() ? std::nullopt : fs::status_of(full, false)) {
      link = info->kind == fs::FileKind::Link;
    }
    if (!link) {
      add(std::string(item.key), Ref::borrow(IndexEntries::path_of(item)), Change::Deleted, true, false);
      continue;
    }
    if (!readable(item, full, *link)) continue;
    // An unmerged path has no single id; git reports a conflict as changed
    // on both sides.
    if (!read_sha(item)) {
      add(std::string(item.key), Ref::borrow(IndexEntries::path_of(item)), Change::Modified, true, true);
      continue;
    }
    const ScanId* head_id = HeadMap::find(item);
    if (head_id != nullptr && !head_id->differs_from(item.sha)) continue;
    // A file taken on its stat data was not opened: it is reported only when
    // it could be read, as a file that is read (the walk then finds it
    // unreadable too). Unreported, it answers alike either way.
    if (item.hashed.unread && !fs::could_read(index_file_path(item))) {
      item.hashed.known = false;
      continue;
    }
    const Change change = head_id == nullptr ? Change::Staged : Change::Modified;
    add(std::string(item.key), Ref::borrow(IndexEntries::path_of(item)), change, true, false);
  }
}

// The file behind an index path (repo_path / path); empty when the path has
// no file-system form, which reads as missing.
std::string Scan::index_file_path(IndexEntry& item) {
  if (fs_utf8_) return root_ + "/" + std::string(item.key);
  Ref encoded = Ref::steal(PyUnicode_EncodeFSDefault(IndexEntries::path_of(item)));
  if (!encoded) {
    // pathlib reads a path it cannot encode as one that does not exist.
    if (!PyErr_ExceptionMatches(PyExc_ValueError)) throw host::Error{};
    PyErr_Clear();
    return std::string();
  }
  return root_ + "/" + std::string(PyBytes_AS_STRING(encoded.get()), PyBytes_GET_SIZE(encoded.get()));
}

// Whether the index pass can read the file (the link's target text for a
// link). Its content is compared in the walk, so it is read but not hashed;
// a file hashed ahead was read already.
bool Scan::readable(IndexEntry& item, const std::string& full, bool link) {
  if (item.hashed.known && item.hashed.link == link) return true;
  try {
    return link ? fs::read_link(full, buffer_) : fs::read_file(full, buffer_);
  } catch (const host::Error&) {
    host::except_exception();
    return false;
  }
}

bool Scan::read_sha(IndexEntry& item) {
  static const host::Interned sha{"sha"};
  if (item.sha_state == IndexEntry::Sha::Unread) {
    Ref value = host::getattr_optional(item.entry.get(), sha);
    item.sha_state = value ? IndexEntry::Sha::Present : IndexEntry::Sha::Missing;
    if (value) item.sha = ScanId(std::move(value));
  }
  return item.sha_state == IndexEntry::Sha::Present;
}

// calculate_blob_sha of the file's content, or of a link's target text: the
// id dulwich's Blob gives that content, in the repository's object format (a
// Blob's `id` is always its SHA-1 id). Nothing when the file cannot be read.
std::optional<ScanId> Scan::blob_id(const std::string& full, bool link) {
  static const host::Interned data{"data"};
  static const host::Interned id{"id"};
  static const host::Interned get_id{"get_id"};
  const bool read = link ? fs::read_link(full, buffer_) : fs::read_file(full, buffer_);
  if (!read) return std::nullopt;
  if (native_blobs_) {
    return ScanId(store::object_id(objects_.format(), store::ObjectType::Blob, buffer_.data(), buffer_.size()));
  }
  Ref content = host::bytes(buffer_.view());
  Ref blob = host::call(blob_.get(), {});
  host::setattr(blob.get(), data, content.get());
  if (format_.long_ids()) return ScanId(host::call_method(blob.get(), get_id, {format_.object_format()}));
  return ScanId(host::getattr(blob.get(), id));
}

void Scan::walk() {
  // The root is skipped if it is itself a ".git" directory.
  const std::size_t slash = root_.rfind('/');
  if (root_.compare(slash == std::string::npos ? 0 : slash + 1, std::string::npos, ".git") == 0) {
    const std::optional<fs::FileInfo> info = fs::status_of(root_, true);
    if (info && info->kind == fs::FileKind::Directory) return;
  }
  fs::FileInfo root;
  if (platform::file_info(root_, true, root) == 0) on_path_.push_back({root.identity.device, root.identity.inode});
  walk_directory(root_, "");
}

// walk_directory: an ignored directory is cut before it is listed, and a
// PermissionError abandons the rest of this directory only.
void Scan::walk_directory(const std::string& full, const std::string& rel, const DirectoryId* through_link) {
  static const host::Interned is_directory_ignored{"_is_directory_ignored"};
  if (!rel.empty()) {
    Ref dir_path = fs::path_text(rel);
    Ref ignored = host::call_method(object_.get(), is_directory_ignored, {dir_path.get(), compiled_gitignore_.get()});
    if (host::truthy(ignored.get())) return;
  }
  // Links that fork at every level would make the walk exponential in the
  // depth of the chain: a directory is entered through links once per scan.
  if (through_link != nullptr && !entered_through_links_.insert({through_link->device, through_link->inode}).second) {
    return;
  }
  try {
    const std::vector<fs::DirectoryEntry> entries = fs::list_directory(full);
    // A repository nested in the tree is one thing to the scan, as to git.
    if (!rel.empty() && through_link == nullptr && fs::holds_repository(full, entries) &&
        nested_repository(full, rel)) {
      return;
    }
    bool searchable = false;
    // Each entry's paths are made in the same two buffers.
    std::string entry_full = full + "/";
    std::string entry_rel = rel.empty() ? rel : rel + "/";
    const std::size_t full_prefix = entry_full.size(), rel_prefix = entry_rel.size();
    // Every name is looked up in the index: their places are fetched together.
    for (const fs::DirectoryEntry& entry : entries) {
      entry_rel.resize(rel_prefix);
      entry_rel += entry.name;
      index_.prefetch(entry_rel);
    }
    for (const fs::DirectoryEntry& entry : entries) {
      // Hidden names are never reported nor entered.
      if (entry.name.empty() || entry.name[0] == '.') continue;
      entry_full.resize(full_prefix);
      entry_full += entry.name;
      entry_rel.resize(rel_prefix);
      entry_rel += entry.name;
      examine(entry_full, entry_rel, entry, searchable);
    }
  } catch (const host::Error&) {
    host::except({PyExc_PermissionError});
  }
}

// `searchable` says that a stat in this directory has succeeded: then an entry
// that the listing gives as a regular file is one, and needs no stat of its
// own (in a directory that can be listed but not searched, every stat fails).
void Scan::examine(const std::string& full, const std::string& rel, const fs::DirectoryEntry& entry, bool& searchable) {
  std::string made;
  const std::string_view key = walk_key(rel, made);
  const bool keyed = fs_utf8_ && key.data() == rel.data();
  const bool link = fs::is_link(full, entry);
  // A tracked symbolic link is a file to git, whatever it leads to.
  if (link && (index_.find(key) != nullptr || head_.find(key) != nullptr)) {
    compare_file(full, rel, key, true, keyed);
    return;
  }
  if (searchable && entry.kind == fs::FileKind::Regular) {
    compare_file(full, rel, key, false, keyed);
    return;
  }
  const std::optional<fs::FileInfo> info = fs::status_of(full, true);
  if (!info) return;
  searchable = true;
  if (info->kind == fs::FileKind::Directory) {
    // A link back to a directory being walked would be walked forever.
    const DirectoryId id{info->identity.device, info->identity.inode};
    if (std::find(on_path_.begin(), on_path_.end(), id) != on_path_.end()) return;
    on_path_.push_back(id);
    struct Leave {
      std::vector<DirectoryId>& path;
      ~Leave() { path.pop_back(); }
    } leave{on_path_};
    walk_directory(full, rel, link ? &id : nullptr);
  } else if (info->kind == fs::FileKind::Regular) {
    compare_file(full, rel, key, false, keyed);
  }
}

// The walk's comparison of one file with the index and HEAD. `keyed` says
// that the file's key is its path below the root, as the entry's is.
void Scan::compare_file(const std::string& full, const std::string& rel, std::string_view key, bool link, bool keyed) {
  static const host::Interned is_path_ignored{"_is_path_ignored"};
  IndexEntry* item = index_.find(key);
  // HEAD's id is needed only for a file the index lacks, or that differs from the index.
  const ScanId* head_id = item == nullptr ? head_.find(key) : nullptr;
  if (item == nullptr && head_id == nullptr) {
    Ref path = rel_path_text(rel);
    Ref ignored = host::call_method(object_.get(), is_path_ignored, {path.get(), compiled_gitignore_.get()});
    if (!host::truthy(ignored.get())) {
      add(std::string(key), std::move(path), Change::Untracked, false, true, ++walk_steps_);
    }
    return;
  }
  if (item != nullptr && hasher_) {
    Deferred file{item, ++walk_steps_, link, nullptr};
    if (!keyed) file.full_and_rel = std::make_unique<std::pair<std::string, std::string>>(full, rel);
    deferred_.push_back(std::move(file));
    return;
  }
  compare_content(item, head_id, &full, rel, key, link, ++walk_steps_);
}

// A tracked file, or one HEAD has, compared by its content; the file is
// `full`, or root_/rel when that is null.
void Scan::compare_content(IndexEntry* item, const ScanId* head_id, const std::string* full, std::string_view rel,
                           std::string_view key, bool link, std::uint32_t step) {
  // An unreadable file, or any failure while comparing, skips the file.
  try {
    // An unmerged path has no id to compare; the index pass reported it.
    if (item != nullptr && !read_sha(*item)) return;
    std::optional<ScanId> id;
    if (item != nullptr && item->hashed.known && item->hashed.link == link) {
      id = ScanId(item->hashed.id);
    } else {
      id = blob_id(full != nullptr ? *full : root_ + "/" + std::string(rel), link);
    }
    if (!id) return;
    bool changed = false;
    if (item == nullptr) {
      changed = id->differs_from(*head_id);
    } else if (id->differs_from(item->sha)) {
      head_id = HeadMap::find(*item);
      changed = head_id == nullptr || id->differs_from(*head_id);
    }
    if (changed) add(std::string(key), rel_path_text(rel), Change::Modified, false, true, step);
  } catch (const host::Error&) {
    host::except_exception();
  }
}

// The tracked files the walk met while hashing, in the walk's order.
void Scan::compare_deferred() {
  for (Deferred& file : deferred_) {
    if (file.full_and_rel) {
      const auto& [full, rel] = *file.full_and_rel;
      compare_content(file.item, nullptr, &full, rel, file.item->key, file.link, file.step);
    } else {
      compare_content(file.item, nullptr, nullptr, file.item->key, file.item->key, file.link, file.step);
    }
  }
  deferred_ = std::vector<Deferred>();
}

// A directory below the root that holds a repository: false when the walk
// goes on into it, as git's does where the index has files under it.
// Otherwise it is not entered: a submodule (the index holds a gitlink there)
// is modified when the commit its HEAD names is not the gitlink's (one whose
// HEAD cannot be resolved counts as unchanged, as for git); any other is one
// untracked path, the directory's with a "/", as git prints it.
bool Scan::nested_repository(const std::string& full, const std::string& rel) {
  // A directory's path is the walk's own, backslashes kept, as git prints it.
  Ref path = fs::path_text(rel);
  const std::string key = fs_utf8_ && host::is_utf8(rel) ? rel : key_of(path.get());
  if (index_holds_files_under(key)) return false;
  IndexEntry* item = index_.find(key);
  if (item == nullptr) {
    static const host::Interned slash{"/"};
    add(key + "/", Ref::check(PyUnicode_Concat(path.get(), slash.get())), Change::Untracked, false, true,
        ++walk_steps_);
    return true;
  }
  // As a file, any failure while comparing skips the submodule.
  try {
    if (!is_gitlink(*item)) return false;
    const std::optional<ScanId> head_id = nested_head_id(full);
    if (head_id && read_sha(*item) && head_id->differs_from(item->sha)) {
      add(key, std::move(path), Change::Modified, false, true, ++walk_steps_);
    }
  } catch (const host::Error&) {
    host::except_exception();
  }
  return true;
}

// The commit a nested repository's HEAD names, read at the repository's id
// length, as git reads a submodule's HEAD: a HEAD of the other length cannot
// be resolved, so the submodule counts as unchanged on either road. The
// native road reads it as a store id; off it, a SHA-256 repository's nested
// heads are read as digit texts. Nothing for a HEAD that cannot be resolved.
std::optional<ScanId> Scan::nested_head_id(const std::string& full) {
  if (objects_ || !format_.long_ids()) {
    const store::HashFormat format = objects_ ? objects_.format() : store::HashFormat::Sha1;
    const std::optional<store::ObjectId> head = core::without_gil([&] { return nested_head(full, format); });
    if (!head) return std::nullopt;
    return ScanId(*head);
  }
  const std::optional<std::string> digits = core::without_gil([&] { return nested_long_head(full); });
  if (!digits) return std::nullopt;
  return ScanId(host::bytes(*digits));
}

// Whether some index path lies under the directory `key`.
bool Scan::index_holds_files_under(std::string_view key) {
  if (!index_directories_) {
    PathMap<char>& directories = index_directories_.emplace();
    for (const IndexEntry& item : index_.entries()) {
      for (std::size_t slash = item.key.find('/'); slash != std::string_view::npos;
           slash = item.key.find('/', slash + 1)) {
        directories.try_emplace(item.key.substr(0, slash), 0);
      }
    }
  }
  return index_directories_->find(key) != nullptr;
}

// Whether the entry is a gitlink (mode 160000), the commit of a submodule.
bool Scan::is_gitlink(const IndexEntry& item) {
  static const host::Interned mode{"mode"};
  constexpr std::uint32_t kGitlink = 0160000;
  if (item.stored != nullptr) return item.stored->mode == kGitlink;
  if (!item.entry) return false;
  Ref value = host::getattr_optional(item.entry.get(), mode);
  if (!value) return false;
  Ref gitlink = host::integer(kGitlink);
  return host::equal(value.get(), gitlink.get());
}

// The key of a walked path: the host's rel_path (os.fsdecode of the bytes,
// "\" turned into "/") in UTF-8; `rel` itself where it is that already,
// else made in `made`.
std::string_view Scan::walk_key(const std::string& rel, std::string& made) {
  if (fs_utf8_ && host::is_utf8(rel)) {
    if (rel.find('\\') == std::string::npos) return rel;
    made = rel;
    std::replace(made.begin(), made.end(), '\\', '/');
    return made;
  }
  Ref text = rel_path_text(rel);
  made = key_of(text.get());
  return made;
}

Ref Scan::rel_path_text(std::string_view rel) {
  Ref text = fs::path_text(rel);
  if (rel.find('\\') == std::string::npos) return text;
  static const host::Interned backslash{"\\"};
  static const host::Interned slash{"/"};
  return Ref::check(PyUnicode_Replace(text.get(), backslash.get(), slash.get(), -1));
}

void Scan::add(std::string key, Ref path, Change change, bool staged, bool unstaged, std::uint32_t step) {
  findings_.push_back({std::move(key), std::move(path), change, staged, unstaged, step});
}

// Merges the findings of one path (a staged and an unstaged one become
// "modified" on both sides; otherwise "modified" wins, then the later one)
// and returns the records sorted by path.
Ref Scan::records() {
  std::stable_sort(findings_.begin(), findings_.end(),
                   [](const Finding& a, const Finding& b) { return a.step < b.step; });
  std::vector<Finding> merged;
  std::unordered_map<std::string_view, std::size_t> slot;
  merged.reserve(findings_.size());  // keeps the keys' views valid
  for (Finding& finding : findings_) {
    auto found = slot.find(finding.key);
    if (found == slot.end()) {
      merged.push_back(std::move(finding));
      slot.emplace(merged.back().key, merged.size() - 1);
      continue;
    }
    Finding& existing = merged[found->second];
    if (existing.staged != finding.staged) {
      existing.path = std::move(finding.path);
      existing.change = Change::Modified;
      existing.staged = true;
      existing.unstaged = true;
    } else if (finding.change == Change::Modified || existing.change != Change::Modified) {
      existing.path = std::move(finding.path);
      existing.change = finding.change;
      existing.unstaged = finding.unstaged;
    }
  }
  // UTF-8 byte order is code-point order.
  std::stable_sort(merged.begin(), merged.end(), [](const Finding& a, const Finding& b) { return a.key < b.key; });
  const core::RecordMaker file_status(core::Record::FileStatus);
  Ref list = Ref::check(PyList_New(static_cast<Py_ssize_t>(merged.size())));
  for (std::size_t i = 0; i < merged.size(); ++i) {
    const Finding& finding = merged[i];
    Ref record = file_status.make({finding.path.get(), change_name(finding.change).get(), host::boolean(finding.staged),
                                   host::boolean(finding.unstaged)});
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), record.release());
  }
  return list;
}

}  // namespace

Ref scan_file_status(Service& self) {
  Ref index_class = host::import_from("dulwich.index", "Index");
  Ref blob_class = host::import_from("dulwich.objects", "Blob");
  Scan scan(self, std::move(blob_class));
  return scan.run(index_class.get());
}

}  // namespace status
