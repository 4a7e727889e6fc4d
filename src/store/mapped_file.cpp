#include "store/mapped_file.h"

#include <list>
#include <mutex>

#include "store/file_error.h"

namespace store {

namespace {

struct CacheEntry {
  std::string path;
  std::shared_ptr<const MappedFile> file;
};

// Most recently used first. Bounded so that a long-lived process that sees
// many repositories keeps few mappings alive.
constexpr std::size_t kCacheEntries = 64;
std::mutex cache_lock;
std::list<CacheEntry>& cache() {
  static auto* entries = new std::list<CacheEntry>();  // never destroyed: used until exit
  return *entries;
}

}  // namespace

FileState identify(const std::string& path, FileIdentity& identity) {
  platform::FileInfo info;
  if (const int error = platform::file_info(path, true, info)) {
    return platform::means_absent(error) ? FileState::Absent : FileState::Unusable;
  }
  if (info.kind == platform::FileKind::Other) return FileState::NotRegular;
  if (info.kind != platform::FileKind::Regular) return FileState::Unusable;
  identity = info.identity;
  return FileState::Present;
}

std::shared_ptr<const MappedFile> MappedFile::open(const std::string& path) {
  std::unique_ptr<platform::Mapping> mapping = platform::Mapping::map(path);
  if (mapping == nullptr) return nullptr;
  return std::make_shared<const MappedFile>(std::move(mapping));
}

std::shared_ptr<const MappedFile> map_file(const std::string& path) {
  FileIdentity now;
  const FileState state = identify(path, now);
  if (state == FileState::NotRegular) throw FileError::not_regular(path);
  if (state != FileState::Present) return nullptr;
  {
    std::lock_guard<std::mutex> hold(cache_lock);
    auto& entries = cache();
    for (auto it = entries.begin(); it != entries.end(); ++it) {
      if (it->path != path) continue;
      if (it->file->identity() == now) {
        entries.splice(entries.begin(), entries, it);
        return entries.front().file;
      }
      entries.erase(it);
      break;
    }
  }
  // Mapped outside the lock; the identity is that of the opened file, so a
  // file replaced in between is cached under what was really mapped.
  std::shared_ptr<const MappedFile> file = MappedFile::open(path);
  if (file == nullptr) return nullptr;
  std::lock_guard<std::mutex> hold(cache_lock);
  auto& entries = cache();
  for (auto it = entries.begin(); it != entries.end(); ++it) {
    if (it->path == path) {
      entries.erase(it);
      break;
    }
  }
  entries.push_front(CacheEntry{path, file});
  if (entries.size() > kCacheEntries) entries.pop_back();
  return file;
}

void clear_mapping_cache() {
  std::list<CacheEntry> dropped;
  {
    std::lock_guard<std::mutex> hold(cache_lock);
    dropped.swap(cache());
  }
}

}  // namespace store
