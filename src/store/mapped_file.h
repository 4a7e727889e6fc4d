// Read-only memory maps of repository files, shared between stores through a
// small cache keyed by each file's identity, and facts about a file computed
// once and kept under its identity.
#pragma once

#include <cstddef>
#include <cstdint>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <utility>

#include "platform/files.h"

namespace store {

using platform::FileIdentity;

// Outcome of looking at a path.
enum class FileState : std::uint8_t { Present, Absent, Unusable, NotRegular };

// The identity of the regular file at `path`: Absent when nothing is there
// (ENOENT/ENOTDIR), NotRegular for a pipe, a socket or a device (or a link
// to one), Unusable for anything else (a directory, no permission).
FileState identify(const std::string& path, FileIdentity& identity);

// A whole file mapped read-only. What it shows may change while it is mapped
// (another program writing the file in place): check every position when it
// is read.
class MappedFile {
 public:
  explicit MappedFile(std::unique_ptr<platform::Mapping> mapping) : mapping_(std::move(mapping)) {}

  const std::uint8_t* data() const { return mapping_->data(); }
  std::size_t size() const { return mapping_->size(); }
  const FileIdentity& identity() const { return mapping_->identity(); }

  // Maps the file at `path`; null when it cannot be opened, is not a
  // regular file, or cannot be mapped. An empty file maps to size 0.
  static std::shared_ptr<const MappedFile> open(const std::string& path);

 private:
  std::unique_ptr<platform::Mapping> mapping_;
};

// The mapping of `path` as it is now: a cached one when the file's identity
// is unchanged, otherwise a fresh one (which replaces the cached entry).
// Null when there is no regular file to map; throws FileError when a pipe,
// a socket or a device is there (git keeps every file mapped here as a
// regular one). Thread-safe; the cache holds a bounded number of mappings.
std::shared_ptr<const MappedFile> map_file(const std::string& path);

// Drops every cached mapping (the tests use it to count mappings).
void clear_mapping_cache();

// The last thing made of the file at each path (a mapping, a file read
// whole), under the identity of the file it was made from, most recently used
// first: found again only while the path still shows that file. Bounded, so
// that a process that sees many repositories keeps few. Thread-safe.
template <class Value>
class KeptByPath {
 public:
  explicit KeptByPath(std::size_t most) : most_(most) {}

  // What was kept for `path` when it was made from the file `identity`
  // names; null otherwise (and what was kept for another file is dropped).
  std::shared_ptr<const Value> find(const std::string& path, const FileIdentity& identity) {
    std::lock_guard<std::mutex> hold(lock_);
    for (auto it = entries_.begin(); it != entries_.end(); ++it) {
      if (it->path != path) continue;
      if (it->identity != identity) {
        entries_.erase(it);
        return nullptr;
      }
      entries_.splice(entries_.begin(), entries_, it);
      return entries_.front().value;
    }
    return nullptr;
  }
  // Keeps `value`, made from the file `identity` names, for `path`.
  void keep(const std::string& path, const FileIdentity& identity, std::shared_ptr<const Value> value) {
    std::lock_guard<std::mutex> hold(lock_);
    for (auto it = entries_.begin(); it != entries_.end(); ++it) {
      if (it->path == path) {
        entries_.erase(it);
        break;
      }
    }
    entries_.push_front(Entry{path, identity, std::move(value)});
    if (entries_.size() > most_) entries_.pop_back();
  }
  void clear() {
    std::list<Entry> dropped;  // released outside the lock
    std::lock_guard<std::mutex> hold(lock_);
    dropped.swap(entries_);
  }

 private:
  struct Entry {
    std::string path;
    FileIdentity identity;
    std::shared_ptr<const Value> value;
  };
  const std::size_t most_;
  std::mutex lock_;
  std::list<Entry> entries_;
};

// Facts about files that cost a pass over the whole file (a checksum, a
// structural check), kept under each file's identity so that later stores
// reuse them. Such a fact may save work; it never keeps a read in bounds.
// Thread-safe; a bounded number of files is remembered.
template <class Facts>
class FileFacts {
 public:
  // The facts kept for `identity`, or null.
  std::shared_ptr<Facts> find(const FileIdentity& identity) {
    std::lock_guard<std::mutex> hold(lock_);
    for (auto it = entries_.begin(); it != entries_.end(); ++it) {
      if (it->first != identity) continue;
      entries_.splice(entries_.begin(), entries_, it);
      return entries_.front().second;
    }
    return nullptr;
  }
  // Keeps `facts` for `identity` (the first facts kept win) and returns the kept ones.
  std::shared_ptr<Facts> keep(const FileIdentity& identity, std::shared_ptr<Facts> facts) {
    std::lock_guard<std::mutex> hold(lock_);
    for (const auto& entry : entries_) {
      if (entry.first == identity) return entry.second;
    }
    entries_.emplace_front(identity, std::move(facts));
    if (entries_.size() > kFiles) entries_.pop_back();
    return entries_.front().second;
  }
  void clear() {
    std::lock_guard<std::mutex> hold(lock_);
    entries_.clear();
  }

 private:
  static constexpr std::size_t kFiles = 64;
  std::mutex lock_;
  std::list<std::pair<FileIdentity, std::shared_ptr<Facts>>> entries_;  // most recently used first
};

}  // namespace store
