#include "store/mapped_file.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <list>
#include <mutex>
#include <utility>

namespace store {

namespace {

FileIdentity identity_of(const struct stat& info) {
  FileIdentity identity;
  identity.device = static_cast<std::uint64_t>(info.st_dev);
  identity.inode = static_cast<std::uint64_t>(info.st_ino);
  identity.size = static_cast<std::uint64_t>(info.st_size);
  identity.mtime_ns = static_cast<std::int64_t>(info.st_mtim.tv_sec) * 1000000000 + info.st_mtim.tv_nsec;
  identity.ctime_ns = static_cast<std::int64_t>(info.st_ctim.tv_sec) * 1000000000 + info.st_ctim.tv_nsec;
  return identity;
}

// Verdicts are read and written under this lock (stores in several threads
// may share one mapping).
std::mutex verdict_lock;

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
  struct stat info;
  if (::stat(path.c_str(), &info) != 0) {
    return (errno == ENOENT || errno == ENOTDIR) ? FileState::Absent : FileState::Unusable;
  }
  if (!S_ISREG(info.st_mode)) return FileState::Unusable;
  identity = identity_of(info);
  return FileState::Present;
}

MappedFile::~MappedFile() {
  if (data_ != nullptr && size_ != 0) ::munmap(const_cast<std::uint8_t*>(data_), size_);
}

std::shared_ptr<const MappedFile> MappedFile::open(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return nullptr;
  struct stat info;
  std::shared_ptr<MappedFile> file;
  if (::fstat(fd, &info) == 0 && S_ISREG(info.st_mode)) {
    file.reset(new MappedFile());
    file->identity_ = identity_of(info);
    file->size_ = static_cast<std::size_t>(info.st_size);
    if (file->size_ != 0) {
      void* data = ::mmap(nullptr, file->size_, PROT_READ, MAP_PRIVATE, fd, 0);
      if (data == MAP_FAILED) {
        file->size_ = 0;
        file.reset();
      } else {
        file->data_ = static_cast<const std::uint8_t*>(data);
      }
    }
  }
  ::close(fd);
  return file;
}

std::int64_t MappedFile::verdict() const {
  std::lock_guard<std::mutex> hold(verdict_lock);
  return verdict_;
}

void MappedFile::set_verdict(std::int64_t verdict) const {
  std::lock_guard<std::mutex> hold(verdict_lock);
  verdict_ = verdict;
}

std::shared_ptr<const MappedFile> map_file(const std::string& path) {
  FileIdentity now;
  if (identify(path, now) != FileState::Present) return nullptr;
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
  // Mapped outside the lock; the identity is that of the opened descriptor,
  // so a file replaced in between is cached under what was really mapped.
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
