// The scan's tree walk: the working tree walked from the root and each file
// compared with the index and HEAD; a repository nested in the tree is one
// thing to the scan, as to git.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "status/path_map.h"
#include "status/scan_context.h"
#include "status/scan_hashing.h"
#include "status/scan_index.h"
#include "status/scan_records.h"
#include "status/worktree.h"

namespace status {

class TreeWalk {
 public:
  // A walk that tests paths against `ignore_rules` (what the class's
  // _compile_gitignore_patterns returned) and reports to `findings`.
  TreeWalk(ScanContext& scan, IndexAndHead& tables, const HashingAhead& hashing, Findings& findings, Ref ignore_rules);

  // Walks the tree: untracked files that are not ignored, and tracked files
  // whose content differs from the index's and HEAD's. A tracked file met
  // while the hashing runs is compared later, by compare_deferred().
  void walk();
  // The tracked files the walk met while hashing, in the walk's order.
  void compare_deferred();

 private:
  // A directory's identity, to know the directories on the walk's path.
  struct DirectoryId {
    std::uint64_t device;
    std::uint64_t inode;
    bool operator==(const DirectoryId&) const = default;
  };
  // A tracked file the walk met while the indexed files were still being
  // hashed: its paths are the entry's own unless given.
  struct Deferred {
    IndexEntry* item;
    std::uint32_t step;
    bool link;
    std::unique_ptr<std::pair<std::string, std::string>> full_and_rel;
  };

  void walk_directory(const std::string& full, const std::string& rel, const DirectoryId* through_link = nullptr);
  void examine(const std::string& full, const std::string& rel, const worktree::DirectoryEntry& entry,
               bool& searchable);
  void enter(const std::string& full, const std::string& rel, const worktree::FileInfo& info, bool link);
  void compare_file(const std::string& full, const std::string& rel, std::string_view key, bool link, bool keyed);
  void compare_content(IndexEntry* item, const ScanId* head_id, const std::string* full, std::string_view rel,
                       std::string_view key, bool link, std::uint32_t step);
  bool nested_repository(const std::string& full, const std::string& rel);
  std::optional<ScanId> nested_head_id(const std::string& full);
  bool index_holds_files_under(std::string_view key);
  std::optional<ScanId> blob_id(const std::string& full, bool link);
  std::string_view walk_key(const std::string& rel, std::string& made) const;

  ScanContext& scan_;
  IndexEntries& index_;
  const HeadMap& head_;
  const HashingAhead& hashing_;
  Findings& findings_;
  Ref ignore_rules_;
  std::uint32_t steps_ = 0;
  std::vector<Deferred> deferred_;
  std::vector<DirectoryId> on_path_;
  std::set<std::pair<std::uint64_t, std::uint64_t>> entered_through_links_;
  std::optional<PathMap<char>> index_directories_;  // made when first needed
  worktree::Buffer buffer_;
};

}  // namespace status
