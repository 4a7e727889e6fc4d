// Read-only memory maps of repository files, shared between stores through a
// small cache keyed by each file's identity.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace store {

// What tells one file from another at the same path: a file replaced by a
// fetch or gc differs in at least one of these.
struct FileIdentity {
  std::uint64_t device = 0, inode = 0, size = 0;
  std::int64_t mtime_ns = 0, ctime_ns = 0;
  friend bool operator==(const FileIdentity&, const FileIdentity&) = default;
};

// Outcome of looking at a path.
enum class FileState : std::uint8_t { Present, Absent, Unusable };

// The identity of the regular file at `path`: Absent when nothing is there
// (ENOENT/ENOTDIR), Unusable for anything else (a directory, no permission).
FileState identify(const std::string& path, FileIdentity& identity);

// A whole file mapped read-only. The descriptor is closed once mapped.
class MappedFile {
 public:
  MappedFile(const MappedFile&) = delete;
  MappedFile& operator=(const MappedFile&) = delete;
  ~MappedFile();

  const std::uint8_t* data() const { return data_; }
  std::size_t size() const { return size_; }
  const FileIdentity& identity() const { return identity_; }

  // Maps the file at `path`; null when it cannot be opened, is not a
  // regular file, or cannot be mapped. An empty file maps to size 0.
  static std::shared_ptr<const MappedFile> open(const std::string& path);

  // A verdict computed once per file (a checksum verified, a structure
  // checked) and kept with the mapping, so that later stores reuse it.
  // 0 = not computed yet; the meaning of other values is the caller's.
  std::int64_t verdict() const;
  void set_verdict(std::int64_t verdict) const;

 private:
  MappedFile() = default;
  const std::uint8_t* data_ = nullptr;
  std::size_t size_ = 0;
  FileIdentity identity_;
  mutable std::int64_t verdict_ = 0;
};

// The mapping of `path` as it is now: a cached one when the file's identity
// is unchanged, otherwise a fresh one (which replaces the cached entry).
// Thread-safe; the cache holds a bounded number of mappings.
std::shared_ptr<const MappedFile> map_file(const std::string& path);

// Drops every cached mapping (the tests use it to count mappings).
void clear_mapping_cache();

}  // namespace store
