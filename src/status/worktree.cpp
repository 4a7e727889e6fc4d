#include "status/worktree.h"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "store/sha1.h"

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

namespace {

// open(path, "rb").read() into `out`; `interrupted()` decides whether a call
// that a signal interrupted is retried (false ends the read).
template <class Interrupted>
bool read_regular_file(const std::string& path, Buffer& out, Interrupted&& interrupted) {
  out.set_size(0);
  if (has_nul(path)) return false;
  int fd = -1;
  do {
    // Non-blocking, so that a pipe put where a file was never holds the scan.
    fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  } while (fd < 0 && errno == EINTR && interrupted());
  if (fd < 0) return false;
  const Descriptor file(fd);
  struct stat st{};
  if (::fstat(file.get(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
  // One spare byte lets the read that finds the end come in the same buffer.
  out.reserve(static_cast<std::size_t>(st.st_size) + 1);
  for (;;) {
    if (out.size() == out.capacity()) out.reserve(out.capacity() * 2);
    const ssize_t got = ::read(file.get(), out.end(), out.capacity() - out.size());
    if (got > 0) {
      out.set_size(out.size() + static_cast<std::size_t>(got));
    } else if (got == 0) {
      return true;
    } else if (errno != EINTR || !interrupted()) {
      return false;
    }
  }
}

}  // namespace

bool read_file(const std::string& path, Buffer& out) {
  const bool read = read_regular_file(path, out, retry_after_signal);
  if (PyErr_Occurred()) throw host::Error{};
  return read;
}

bool read_link(const std::string& path, Buffer& out) {
  out.set_size(0);
  if (has_nul(path)) return false;
  out.reserve(256);
  for (;;) {
    const ssize_t got = ::readlink(path.c_str(), out.end(), out.capacity());
    if (got < 0) return false;
    if (static_cast<std::size_t>(got) < out.capacity()) {
      out.set_size(static_cast<std::size_t>(got));
      return true;
    }
    // The target may have been cut short: try again with more room.
    out.reserve(out.capacity() * 2);
  }
}

namespace {

// Reads what `fd` holds, a regular file of `size` bytes by fstat, into `out`.
// Without the GIL no signal handler can run: an interrupted read is simply
// made again, and the host handles the signal once it has the GIL back.
bool read_descriptor(int fd, std::size_t size, Buffer& out) {
  out.set_size(0);
  out.reserve(size + 1);
  for (;;) {
    if (out.size() == out.capacity()) out.reserve(out.capacity() * 2);
    const std::size_t room = out.capacity() - out.size();
    const ssize_t got = ::read(fd, out.end(), room);
    if (got < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    out.set_size(out.size() + static_cast<std::size_t>(got));
    // A regular file gives less than was asked for only at its end.
    if (got == 0 || static_cast<std::size_t>(got) < room) return true;
  }
}

// One path of hash_files, `name` opened in the directory `directory`.
void hash_one(int directory, const char* name, const std::string& path, Buffer& buffer, FileHash& hash) {
  int fd = -1;
  do {
    // Non-blocking, so that a pipe never holds a worker; not following a
    // link, which git hashes by its target text.
    fd = ::openat(directory, name, O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOFOLLOW);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) {
    if (errno != ELOOP || !read_link(path, buffer)) return;
    hash.present = hash.link = true;
  } else {
    const Descriptor file(fd);
    struct stat st{};
    if (::fstat(file.get(), &st) != 0) return;
    hash.present = true;
    if (!S_ISREG(st.st_mode) || !read_descriptor(file.get(), static_cast<std::size_t>(st.st_size), buffer)) return;
  }
  hash.id = store::object_id(store::ObjectType::Blob, buffer.data(), buffer.size());
  hash.known = true;
}

}  // namespace

// Paths come in blocks of neighbours (an index is sorted by path), and each
// is opened relative to its directory, opened once per block: the kernel then
// looks one name up instead of a whole path.
constexpr std::size_t kBlock = 64;

FileHasher::FileHasher(const std::vector<std::string>& paths, std::vector<FileHash>& hashes)
    : paths_(paths), hashes_(hashes) {
  const unsigned cores = std::max(1u, std::min(4u, std::thread::hardware_concurrency()));
  // The caller joins in later, so one core is left for what it does meanwhile.
  const std::size_t helpers = paths.size() < 4 * kBlock ? 0 : cores - 1;
  for (std::size_t i = 0; i < helpers; ++i) threads_.emplace_back([this] { work(); });
}

void FileHasher::finish() {
  work();
  for (std::thread& thread : threads_) thread.join();
  threads_.clear();
}

FileHasher::~FileHasher() {
  // Hashing is never left running behind the scan, whatever ended it.
  next_block_ = paths_.size();
  for (std::thread& thread : threads_) thread.join();
}

void FileHasher::work() {
  Buffer buffer;
  for (std::size_t begin = kBlock * next_block_++; begin < paths_.size(); begin = kBlock * next_block_++) {
    std::string directory_path;
    int directory = -1;
    for (std::size_t i = begin; i < std::min(paths_.size(), begin + kBlock); ++i) {
      const std::string& path = paths_[i];
      const std::size_t slash = path.rfind('/');
      if (has_nul(path) || slash == std::string::npos) continue;
      if (directory < 0 || directory_path.size() != slash || path.compare(0, slash, directory_path) != 0) {
        if (directory >= 0) ::close(directory);
        directory_path.assign(path, 0, slash);
        directory =
            ::open(directory_path.empty() ? "/" : directory_path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_PATH);
      }
      if (directory >= 0) hash_one(directory, path.c_str() + slash + 1, path, buffer, hashes_[i]);
    }
    if (directory >= 0) ::close(directory);
  }
}

}  // namespace status::worktree
