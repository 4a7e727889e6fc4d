#include "status/scan_walk.h"

#include <algorithm>

#include "status/nested_head.h"
#include "store/object_hash.h"

namespace status {

namespace fs = worktree;

namespace {

// The host's rel_path of a walked path: os.fsdecode of its bytes, with "\"
// turned into "/".
Ref rel_path_text(std::string_view rel) {
  Ref text = fs::path_text(rel);
  if (rel.find('\\') == std::string::npos) return text;
  static const host::Interned backslash{"\\"};
  static const host::Interned slash{"/"};
  return Ref::check(PyUnicode_Replace(text.get(), backslash.get(), slash.get(), -1));
}

}  // namespace

TreeWalk::TreeWalk(ScanContext& scan, IndexAndHead& tables, const HashingAhead& hashing, Findings& findings,
                   Ref ignore_rules)
    : scan_(scan),
      index_(tables.index()),
      head_(tables.head()),
      hashing_(hashing),
      findings_(findings),
      ignore_rules_(std::move(ignore_rules)) {}

void TreeWalk::walk() {
  // The root is skipped if it is itself a ".git" directory.
  const std::string& root = scan_.root;
  const std::size_t slash = root.rfind('/');
  if (root.compare(slash == std::string::npos ? 0 : slash + 1, std::string::npos, ".git") == 0) {
    const std::optional<fs::FileInfo> info = fs::status_of(root, true);
    if (info && info->kind == fs::FileKind::Directory) return;
  }
  if (hashing_.running()) deferred_.reserve(index_.entries().size());
  fs::FileInfo root_info;
  if (platform::file_info(root, true, root_info) == 0) {
    on_path_.push_back({root_info.identity.device, root_info.identity.inode});
  }
  walk_directory(root, "");
}

// walk_directory: an ignored directory is cut before it is listed, and a
// PermissionError abandons the rest of this directory only.
void TreeWalk::walk_directory(const std::string& full, const std::string& rel, const DirectoryId* through_link) {
  static const host::Interned is_directory_ignored{"_is_directory_ignored"};
  if (!rel.empty()) {
    Ref dir_path = fs::path_text(rel);
    Ref ignored = host::call_method(scan_.object.get(), is_directory_ignored, {dir_path.get(), ignore_rules_.get()});
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
void TreeWalk::examine(const std::string& full, const std::string& rel, const fs::DirectoryEntry& entry,
                       bool& searchable) {
  std::string made;
  const std::string_view key = walk_key(rel, made);
  const bool keyed = scan_.fs_utf8 && key.data() == rel.data();
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
    enter(full, rel, *info, link);
  } else if (info->kind == fs::FileKind::Regular) {
    compare_file(full, rel, key, false, keyed);
  }
}

// Walks a directory below the one being walked, `link` when a symbolic link
// led to it; a link back to a directory being walked would be walked forever.
void TreeWalk::enter(const std::string& full, const std::string& rel, const fs::FileInfo& info, bool link) {
  const DirectoryId id{info.identity.device, info.identity.inode};
  if (std::find(on_path_.begin(), on_path_.end(), id) != on_path_.end()) return;
  on_path_.push_back(id);
  struct Leave {
    std::vector<DirectoryId>& path;
    ~Leave() { path.pop_back(); }
  } leave{on_path_};
  walk_directory(full, rel, link ? &id : nullptr);
}

// The walk's comparison of one file with the index and HEAD. `keyed` says
// that the file's key is its path below the root, as the entry's is.
void TreeWalk::compare_file(const std::string& full, const std::string& rel, std::string_view key, bool link,
                            bool keyed) {
  static const host::Interned is_path_ignored{"_is_path_ignored"};
  IndexEntry* item = index_.find(key);
  // HEAD's id is needed only for a file the index lacks, or that differs from the index.
  const ScanId* head_id = item == nullptr ? head_.find(key) : nullptr;
  if (item == nullptr && head_id == nullptr) {
    Ref path = rel_path_text(rel);
    Ref ignored = host::call_method(scan_.object.get(), is_path_ignored, {path.get(), ignore_rules_.get()});
    if (!host::truthy(ignored.get()))
      findings_.add(std::string(key), std::move(path), Change::Untracked, false, true, ++steps_);
    return;
  }
  if (item != nullptr && hashing_.running()) {
    Deferred file{item, ++steps_, link, nullptr};
    if (!keyed) file.full_and_rel = std::make_unique<std::pair<std::string, std::string>>(full, rel);
    deferred_.push_back(std::move(file));
    return;
  }
  compare_content(item, head_id, &full, rel, key, link, ++steps_);
}

// A tracked file, or one HEAD has, compared by its content; the file is
// `full`, or root/rel when that is null.
void TreeWalk::compare_content(IndexEntry* item, const ScanId* head_id, const std::string* full, std::string_view rel,
                               std::string_view key, bool link, std::uint32_t step) {
  // An unreadable file, or any failure while comparing, skips the file.
  try {
    // An unmerged path has no id to compare; the index pass reported it.
    if (item != nullptr && !item->read_sha()) return;
    std::optional<ScanId> id;
    if (item != nullptr && item->hashed.known && item->hashed.link == link) {
      id = ScanId(item->hashed.id);
    } else {
      id = blob_id(full != nullptr ? *full : scan_.file_below_root(rel), link);
    }
    if (!id) return;
    bool changed = false;
    if (item == nullptr) {
      changed = id->differs_from(*head_id);
    } else if (id->differs_from(item->sha)) {
      head_id = HeadMap::find(*item);
      changed = head_id == nullptr || id->differs_from(*head_id);
    }
    if (changed) findings_.add(std::string(key), rel_path_text(rel), Change::Modified, false, true, step);
  } catch (const host::Error&) {
    host::except_exception();
  }
}

void TreeWalk::compare_deferred() {
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
bool TreeWalk::nested_repository(const std::string& full, const std::string& rel) {
  // A directory's path is the walk's own, backslashes kept, as git prints it.
  Ref path = fs::path_text(rel);
  const std::string key = scan_.fs_utf8 && host::is_utf8(rel) ? rel : utf8_key(path.get());
  if (index_holds_files_under(key)) return false;
  IndexEntry* item = index_.find(key);
  if (item == nullptr) {
    static const host::Interned slash{"/"};
    findings_.add(key + "/", Ref::check(PyUnicode_Concat(path.get(), slash.get())), Change::Untracked, false, true,
                  ++steps_);
    return true;
  }
  // As a file, any failure while comparing skips the submodule.
  try {
    if (!item->is_gitlink()) return false;
    const std::optional<ScanId> head_id = nested_head_id(full);
    if (head_id && item->read_sha() && head_id->differs_from(item->sha)) {
      findings_.add(key, std::move(path), Change::Modified, false, true, ++steps_);
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
std::optional<ScanId> TreeWalk::nested_head_id(const std::string& full) {
  if (scan_.objects || !scan_.format.long_ids()) {
    const store::HashFormat format = scan_.objects ? scan_.objects.format() : store::HashFormat::Sha1;
    const std::optional<store::ObjectId> head = core::without_gil([&] { return nested_head(full, format); });
    if (!head) return std::nullopt;
    return ScanId(*head);
  }
  const std::optional<std::string> digits = core::without_gil([&] { return nested_long_head(full); });
  if (!digits) return std::nullopt;
  return ScanId(host::bytes(*digits));
}

// Whether some index path lies under the directory `key`.
bool TreeWalk::index_holds_files_under(std::string_view key) {
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

// calculate_blob_sha of the file's content, or of a link's target text: the
// id dulwich's Blob gives that content, in the repository's object format (a
// Blob's `id` is always its SHA-1 id). Nothing when the file cannot be read.
std::optional<ScanId> TreeWalk::blob_id(const std::string& full, bool link) {
  static const host::Interned data{"data"};
  static const host::Interned id{"id"};
  static const host::Interned get_id{"get_id"};
  const bool read = link ? fs::read_link(full, buffer_) : fs::read_file(full, buffer_);
  if (!read) return std::nullopt;
  if (scan_.native_blobs) {
    return ScanId(store::object_id(scan_.objects.format(), store::ObjectType::Blob, buffer_.data(), buffer_.size()));
  }
  Ref content = host::bytes(buffer_.view());
  Ref blob = host::call(scan_.blob_class.get(), {});
  host::setattr(blob.get(), data, content.get());
  if (scan_.format.long_ids()) return ScanId(host::call_method(blob.get(), get_id, {scan_.format.object_format()}));
  return ScanId(host::getattr(blob.get(), id));
}

// The key of a walked path: the host's rel_path in UTF-8; `rel` itself where
// it is that already, else made in `made`.
std::string_view TreeWalk::walk_key(const std::string& rel, std::string& made) const {
  if (scan_.fs_utf8 && host::is_utf8(rel)) {
    if (rel.find('\\') == std::string::npos) return rel;
    made = rel;
    std::replace(made.begin(), made.end(), '\\', '/');
    return made;
  }
  Ref text = rel_path_text(rel);
  made = utf8_key(text.get());
  return made;
}

}  // namespace status
