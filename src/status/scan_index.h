// The scan's first pass: the index and HEAD's files read into native tables,
// keyed by path, and the index compared with HEAD.
#pragma once

#include <cstdint>
#include <deque>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "status/path_map.h"
#include "status/scan_context.h"
#include "status/scan_records.h"
#include "status/tree_store.h"
#include "status/worktree.h"
#include "store/index_file.h"

namespace status {

// One index entry under its decoded path. Its `sha` is read once, when first
// needed (or when the store read the index); an unmerged path's entry has none.
struct IndexEntry {
  Ref path;              // null until needed for an entry whose key is UTF-8 text
  std::string_view key;  // into storage the scan keeps
  Ref entry;             // the library's entry, on its road
  enum class Sha : std::uint8_t { Unread, Present, Missing } sha_state = Sha::Unread;
  ScanId sha;
  worktree::FileHash hashed;                  // its file hashed ahead of the passes
  const store::IndexEntry* stored = nullptr;  // the entry, when the store read the index
  bool vouches = false;                       // its stat data may vouch for the file's content
  bool in_head = false;                       // HEAD has the path too, with the id below
  ScanId head = {};

  // The entry's path as the host's text.
  PyObject* path_text() {
    if (!path) path = host::text(key);
    return path.get();
  }
  // Reads entry.sha once: false for an unmerged path, which has none.
  bool read_sha();
  // Whether the entry is a gitlink (mode 160000), the commit of a submodule.
  bool is_gitlink() const;
  // The file behind the path (repo_path / path); empty when the path has no
  // file-system form, which reads as missing.
  std::string file_path(const ScanContext& scan);
};

// index_entries: decoded path -> entry, in the index's order. Two byte paths
// that decode alike are one entry, as one dict key: the first path's place
// and text, the last one's entry.
class IndexEntries {
 public:
  void add(Ref path, Ref entry) {
    std::string_view key = keep(utf8_key(path.get()));
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
  const std::vector<IndexEntry>& entries() const { return entries_; }
  IndexEntry* find(std::string_view key) {
    const std::size_t* position = positions_.find(key);
    return position == nullptr ? nullptr : &entries_[*position];
  }
  const IndexEntry* find(std::string_view key) const { return const_cast<IndexEntries*>(this)->find(key); }
  void prefetch(std::string_view key) const { positions_.prefetch(key); }

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

  // The map head_file_map returned.
  void load(PyObject* map);
  // The map the store flattened: paths in UTF-8, as keys are. The entries
  // are kept with the map.
  void load(FlatTree files);

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

// The index read from .git/index and HEAD's files from HEAD's tree (through
// the store where nobody can tell, through dulwich and the class's
// `_build_head_file_map` otherwise), then the index compared with HEAD.
class IndexAndHead {
 public:
  explicit IndexAndHead(ScanContext& scan) : scan_(scan) {}

  // index_entries from Index(str(repo_path / ".git" / "index")); empty when
  // the index cannot be opened or read.
  void read_index(PyObject* index_class);
  // Whether the store read the index: the comparison with HEAD then asks
  // nothing of the host, and may run after the walk.
  bool read_natively() const { return read_natively_; }
  // head_file_map: the files of HEAD's tree, or nothing when there is no
  // HEAD tree to read.
  void read_head();
  // The index compared with HEAD: staged deletions, additions and changes,
  // each a finding of step 0.
  void compare(Findings& findings);

  IndexEntries& index() { return index_; }
  const HeadMap& head() const { return head_; }

 private:
  Ref open_index(PyObject* index_class, PyObject* path);
  bool read_index_natively(PyObject* index_class, const std::string& path);
  bool read_head_natively(PyObject* commit_id);
  Ref head_tree(Ref& commit_id);
  bool readable(IndexEntry& item, const std::string& full, bool link);

  ScanContext& scan_;
  bool read_natively_ = false;
  store::IndexContents contents_;  // what the index's keys point into
  IndexEntries index_;
  HeadMap head_{index_};
  worktree::Buffer buffer_;
};

}  // namespace status
