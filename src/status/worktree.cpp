#include "status/worktree.h"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace status::worktree {

namespace {

// pathlib's "does not exist" errors.
bool means_missing(int error) { return error == ENOENT || error == ENOTDIR || error == EBADF || error == ELOOP; }

bool has_nul(const std::string& path) { return path.find('\0') != std::string::npos; }

[[noreturn]] void raise_for(int error, const std::string& path) {
  host::Ref filename = path_text(path);
  host::raise_os_error(error, filename.get());
}

// Closes a descriptor when the read ends, however it ends.
class Descriptor {
 public:
  explicit Descriptor(int fd) : fd_(fd) {}
  ~Descriptor() {
    if (fd_ >= 0) ::close(fd_);
  }
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;
  int get() const { return fd_; }

 private:
  int fd_;
};

class Directory {
 public:
  explicit Directory(DIR* dir) : dir_(dir) {}
  ~Directory() {
    if (dir_ != nullptr) ::closedir(dir_);
  }
  Directory(const Directory&) = delete;
  Directory& operator=(const Directory&) = delete;
  DIR* get() const { return dir_; }

 private:
  DIR* dir_;
};

// An interrupted system call is retried after the host's signal handlers
// ran, as the host's own I/O does; false when a handler raised.
bool retry_after_signal() { return PyErr_CheckSignals() == 0; }

}  // namespace

host::Ref path_text(std::string_view path) {
  return host::Ref::check(PyUnicode_DecodeFSDefaultAndSize(path.data(), static_cast<Py_ssize_t>(path.size())));
}

std::optional<struct stat> status_of(const std::string& path, bool follow_links) {
  if (has_nul(path)) return std::nullopt;
  struct stat st{};
  const int result = follow_links ? ::stat(path.c_str(), &st) : ::lstat(path.c_str(), &st);
  if (result == 0) return st;
  const int error = errno;
  if (means_missing(error)) return std::nullopt;
  raise_for(error, path);
}

std::vector<Entry> list_directory(const std::string& path) {
  if (has_nul(path)) host::raise(PyExc_ValueError, "embedded null byte");
  Directory dir(::opendir(path.c_str()));
  if (dir.get() == nullptr) raise_for(errno, path);
  std::vector<Entry> entries;
  for (;;) {
    errno = 0;
    const dirent* entry = ::readdir(dir.get());
    if (entry == nullptr) {
      if (errno != 0) raise_for(errno, path);
      break;
    }
    const char* name = entry->d_name;
    if (std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0) continue;
    entries.push_back({name, entry->d_type});
  }
  return entries;
}

bool is_link(const std::string& path, const Entry& entry) {
  if (entry.type != DT_UNKNOWN) return entry.type == DT_LNK;
  struct stat st{};
  return ::lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode);
}

void Buffer::reserve(std::size_t capacity) {
  if (capacity <= capacity_) return;
  // Left uninitialised: every byte read is written by read() first.
  std::unique_ptr<char[]> grown(new char[capacity]);
  if (size_ > 0) std::memcpy(grown.get(), data_.get(), size_);
  data_ = std::move(grown);
  capacity_ = capacity;
}

bool read_file(const std::string& path, Buffer& out) {
  out.size_ = 0;
  if (has_nul(path)) return false;
  int fd = -1;
  do {
    // Non-blocking, so that a pipe put where a file was never holds the scan.
    fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  } while (fd < 0 && errno == EINTR && retry_after_signal());
  if (fd < 0) {
    if (PyErr_Occurred()) throw host::Error{};
    return false;
  }
  const Descriptor file(fd);
  struct stat st{};
  if (::fstat(file.get(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
  // One spare byte lets the read that finds the end come in the same buffer.
  out.reserve(static_cast<std::size_t>(st.st_size) + 1);
  for (;;) {
    if (out.size_ == out.capacity_) out.reserve(out.capacity_ * 2);
    const ssize_t got = ::read(file.get(), out.data_.get() + out.size_, out.capacity_ - out.size_);
    if (got > 0) {
      out.size_ += static_cast<std::size_t>(got);
    } else if (got == 0) {
      return true;
    } else if (errno != EINTR) {
      return false;
    } else if (!retry_after_signal()) {
      throw host::Error{};
    }
  }
}

bool read_link(const std::string& path, Buffer& out) {
  out.size_ = 0;
  if (has_nul(path)) return false;
  out.reserve(256);
  for (;;) {
    const ssize_t got = ::readlink(path.c_str(), out.data_.get(), out.capacity_);
    if (got < 0) return false;
    if (static_cast<std::size_t>(got) < out.capacity_) {
      out.size_ = static_cast<std::size_t>(got);
      return true;
    }
    // The target may have been cut short: try again with more room.
    out.reserve(out.capacity_ * 2);
  }
}

}  // namespace status::worktree
