// The file layer on POSIX systems: Linux (any architecture) and macOS.
#include <dirent.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <utility>

#include "platform/files.h"

namespace platform {

namespace {

std::int64_t nanoseconds(const struct timespec& time) {
  return static_cast<std::int64_t>(time.tv_sec) * 1000000000 + time.tv_nsec;
}

FileKind kind_of(mode_t mode) {
  if (S_ISREG(mode)) return FileKind::Regular;
  if (S_ISDIR(mode)) return FileKind::Directory;
  if (S_ISLNK(mode)) return FileKind::Link;
  return FileKind::Other;
}

FileInfo info_from(const struct stat& st) {
  FileInfo info;
  info.kind = kind_of(st.st_mode);
  // git's type values are POSIX's; written out so that they stay git's.
  std::uint32_t type = 0;
  switch (info.kind) {
    case FileKind::Regular:
      type = kModeRegular;
      break;
    case FileKind::Directory:
      type = kModeDirectory;
      break;
    case FileKind::Link:
      type = kModeLink;
      break;
    default:
      type = static_cast<std::uint32_t>(st.st_mode) & kModeTypeMask;
      break;
  }
  info.mode = type | (static_cast<std::uint32_t>(st.st_mode) & 07777);
  info.uid = static_cast<std::uint32_t>(st.st_uid);
  info.gid = static_cast<std::uint32_t>(st.st_gid);
  info.identity.device = static_cast<std::uint64_t>(st.st_dev);
  info.identity.inode = static_cast<std::uint64_t>(st.st_ino);
  info.identity.size = static_cast<std::uint64_t>(st.st_size);
#if defined(__APPLE__)
  info.identity.mtime_ns = nanoseconds(st.st_mtimespec);
  info.identity.ctime_ns = nanoseconds(st.st_ctimespec);
#else
  info.identity.mtime_ns = nanoseconds(st.st_mtim);
  info.identity.ctime_ns = nanoseconds(st.st_ctim);
#endif
  return info;
}

FileKind kind_of_entry(unsigned char type) {
  switch (type) {
    case DT_REG:
      return FileKind::Regular;
    case DT_DIR:
      return FileKind::Directory;
    case DT_LNK:
      return FileKind::Link;
    case DT_UNKNOWN:
      return FileKind::Unknown;
    default:
      return FileKind::Other;
  }
}

bool has_nul(const std::string& path) { return path.find('\0') != std::string::npos; }

// Whether a call interrupted by a signal is made again.
bool again(File::RetryInterrupted retry) { return errno == EINTR && (retry == nullptr || retry()); }

// Never waiting for a writer (a pipe), and never making a terminal the
// process's controlling one.
constexpr int kReadFlags = O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY;

int open_flags(LastLink last_link) { return kReadFlags | (last_link == LastLink::Refuse ? O_NOFOLLOW : 0); }

}  // namespace

bool means_absent(int error) { return error == ENOENT || error == ENOTDIR; }

int file_info(const std::string& path, bool follow_links, FileInfo& info) {
  if (has_nul(path)) return ENOENT;
  struct stat st;
  if ((follow_links ? ::stat(path.c_str(), &st) : ::lstat(path.c_str(), &st)) != 0) return errno;
  info = info_from(st);
  return 0;
}

int readable(const std::string& path) {
  if (has_nul(path)) return ENOENT;
  if (::faccessat(AT_FDCWD, path.c_str(), R_OK, AT_EACCESS) != 0) return errno;
  return 0;
}

int list_directory(const std::string& path, std::vector<DirectoryEntry>& entries) {
  entries.clear();
  if (has_nul(path)) return ENOENT;
  DIR* listing = ::opendir(path.c_str());
  if (listing == nullptr) return errno;
  int error = 0;
  for (;;) {
    errno = 0;
    const dirent* entry = ::readdir(listing);
    if (entry == nullptr) {
      error = errno;
      break;
    }
    const char* name = entry->d_name;
    if (std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0) continue;
    entries.push_back({name, kind_of_entry(entry->d_type)});
  }
  ::closedir(listing);
  return error;
}

File::~File() {
  if (fd_ >= 0) ::close(fd_);
}

File::File(File&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}

File& File::operator=(File&& other) noexcept {
  if (this != &other) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = std::exchange(other.fd_, -1);
  }
  return *this;
}

int File::open(const std::string& path, LastLink last_link, File& file, RetryInterrupted retry) {
  file = File();
  if (has_nul(path)) return ENOENT;
  int fd = -1;
  do {
    fd = ::open(path.c_str(), open_flags(last_link));
  } while (fd < 0 && again(retry));
  if (fd < 0) return errno;
  file = File(fd);
  return 0;
}

int File::open_in(const File& directory, const char* name, LastLink last_link, File& file, RetryInterrupted retry) {
  file = File();
  int fd = -1;
  do {
    fd = ::openat(directory.fd_, name, open_flags(last_link));
  } while (fd < 0 && again(retry));
  if (fd < 0) return errno;
  file = File(fd);
  return 0;
}

int File::open_directory(const std::string& path, File& directory) {
  directory = File();
  if (has_nul(path)) return ENOENT;
#ifdef O_PATH
  // Only for looking names up: needs no read permission on the directory.
  constexpr int kFlags = O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_PATH;
#else
  constexpr int kFlags = O_RDONLY | O_DIRECTORY | O_CLOEXEC;
#endif
  const int fd = ::open(path.empty() ? "/" : path.c_str(), kFlags);
  if (fd < 0) return errno;
  directory = File(fd);
  return 0;
}

int File::info(FileInfo& info) const {
  struct stat st;
  if (::fstat(fd_, &st) != 0) return errno;
  info = info_from(st);
  return 0;
}

int File::info_of(const char* name, FileInfo& info) const {
  struct stat st;
  if (::fstatat(fd_, name, &st, AT_SYMLINK_NOFOLLOW) != 0) return errno;
  info = info_from(st);
  return 0;
}

int File::read_to_end(Buffer& out, std::size_t expected_size, RetryInterrupted retry, std::uint64_t most) const {
  out.clear();
  // One spare byte lets the read that finds the end come in the same buffer.
  out.reserve(expected_size + 1);
  for (;;) {
    if (out.size() > most) return EFBIG;
    if (out.size() == out.capacity()) out.reserve(out.capacity() * 2);
    const std::size_t room = out.capacity() - out.size();
    const std::size_t before = out.size();
    out.resize(out.capacity());
    const ssize_t got = ::read(fd_, out.data() + before, room);
    const int error = errno;
    out.resize(before + (got > 0 ? static_cast<std::size_t>(got) : 0));
    // A regular file gives less than was asked for only at its end.
    if (got >= 0 && static_cast<std::size_t>(got) < room) return out.size() > most ? EFBIG : 0;
    if (got < 0) {
      errno = error;
      if (!again(retry)) return error;
    }
  }
}

int read_whole_file(const std::string& path, Buffer& out, FileInfo& info, std::uint64_t most,
                    File::RetryInterrupted retry) {
  out.clear();
  File file;
  if (const int error = File::open(path, LastLink::Follow, file, retry)) {
    // A socket (or a device without its driver) cannot be opened at all.
    if (error == ENXIO && file_info(path, true, info) == 0 && info.kind == FileKind::Other) return kNotRegularFile;
    return error;
  }
  if (const int error = file.info(info)) return error;
  if (info.kind == FileKind::Directory) return EISDIR;
  if (info.kind != FileKind::Regular) return kNotRegularFile;
  if (info.identity.size > most) return EFBIG;
  const int error = file.read_to_end(out, static_cast<std::size_t>(info.identity.size), retry, most);
  if (error == EFBIG) info.identity.size = out.size();
  return error;
}

int read_link(const std::string& path, Buffer& out) {
  out.clear();
  if (has_nul(path)) return ENOENT;
  out.reserve(256);
  for (;;) {
    out.resize(out.capacity());
    const ssize_t got = ::readlink(path.c_str(), reinterpret_cast<char*>(out.data()), out.size());
    if (got < 0) {
      out.clear();
      return errno;
    }
    if (static_cast<std::size_t>(got) < out.size()) {
      out.resize(static_cast<std::size_t>(got));
      return 0;
    }
    // The target may have been cut short: try again with more room.
    out.reserve(out.capacity() * 2);
  }
}

Mapping::~Mapping() {
  if (data_ != nullptr && size_ != 0) ::munmap(const_cast<std::uint8_t*>(data_), size_);
}

std::unique_ptr<Mapping> Mapping::map(const std::string& path) {
  File file;
  if (File::open(path, LastLink::Follow, file) != 0) return nullptr;
  FileInfo info;
  if (file.info(info) != 0 || info.kind != FileKind::Regular) return nullptr;
  std::unique_ptr<Mapping> mapping(new Mapping());
  mapping->identity_ = info.identity;
  mapping->size_ = static_cast<std::size_t>(info.identity.size);
  if (mapping->size_ != 0) {
    void* data = ::mmap(nullptr, mapping->size_, PROT_READ, MAP_PRIVATE, file.fd_, 0);
    if (data == MAP_FAILED) {
      mapping->size_ = 0;
      return nullptr;
    }
    mapping->data_ = static_cast<const std::uint8_t*>(data);
  }
  return mapping;
}

}  // namespace platform
