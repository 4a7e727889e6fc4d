// What the store and the scan need from the operating system: a file's
// identity and kind, a directory's names, a file opened (relative to a
// directory, without following a last link), read whole or mapped read-only,
// and a symbolic link's target. One implementation per system family:
// files_posix.cpp serves Linux (any architecture) and macOS, and
// files_windows.cpp Windows (whose differences it describes: paths are UTF-8
// here, identities are volume serial numbers and file ids, names compare
// without regard to case).
//
// Failures are the C library's error numbers (ENOENT, EACCES, ELOOP, ...),
// which every supported system defines; 0 is success. Nothing here throws
// except std::bad_alloc.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/buffer.h"

namespace platform {

// What tells one file from another at the same path: a file replaced (a
// fetch, a gc, an editor's save) differs in at least one of these.
struct FileIdentity {
  std::uint64_t device = 0, inode = 0, size = 0;
  std::int64_t mtime_ns = 0, ctime_ns = 0;
  friend bool operator==(const FileIdentity&, const FileIdentity&) = default;
};

enum class FileKind : std::uint8_t { Regular, Directory, Link, Other, Unknown };

// What stat reports of a file, in portable fields.
struct FileInfo {
  FileKind kind = FileKind::Other;
  std::uint32_t mode = 0;  // type and permission bits, with git's (POSIX) type values
  std::uint32_t uid = 0, gid = 0;
  FileIdentity identity;
};

// The type bits of `mode` and their values, as git records them in the index.
inline constexpr std::uint32_t kModeTypeMask = 0170000;
inline constexpr std::uint32_t kModeDirectory = 0040000;
inline constexpr std::uint32_t kModeRegular = 0100000;
inline constexpr std::uint32_t kModeLink = 0120000;

// True for the errors that mean "nothing is at that path" (ENOENT, ENOTDIR).
bool means_absent(int error);

// stat(path), or lstat(path) when `follow_links` is false.
int file_info(const std::string& path, bool follow_links, FileInfo& info);

// Whether `path` could be opened for reading now by this process (as its
// effective user and groups), asked without opening it: 0, or why not
// (EACCES, ENOENT, ...).
int readable(const std::string& path);

struct DirectoryEntry {
  std::string name;
  FileKind kind;  // Unknown when the file system does not say
};

// The names in directory `path` but "." and "..", in the file system's order.
int list_directory(const std::string& path, std::vector<DirectoryEntry>& entries);

// How an open call treats a path that names a symbolic link.
enum class LastLink : std::uint8_t { Follow, Refuse };

// An open file (or directory), closed when dropped.
class File {
 public:
  // Whether an interrupted system call is made again: called each time one
  // is interrupted; null retries always.
  using RetryInterrupted = bool (*)();

  File() = default;
  ~File();
  File(File&& other) noexcept;
  File& operator=(File&& other) noexcept;
  File(const File&) = delete;
  File& operator=(const File&) = delete;

  bool is_open() const { return fd_ != kNone; }

  // Opens `path` for reading, never waiting for a writer (a pipe put where a
  // file was opens at once). With LastLink::Refuse a link fails with ELOOP.
  static int open(const std::string& path, LastLink last_link, File& file, RetryInterrupted retry = nullptr);
  // Opens `name` inside the open directory `directory`, the same way: the
  // system then looks one name up instead of a whole path.
  static int open_in(const File& directory, const char* name, LastLink last_link, File& file,
                     RetryInterrupted retry = nullptr);
  // Opens a directory for opening names inside it.
  static int open_directory(const std::string& path, File& directory);

  // fstat of the open file.
  int info(FileInfo& info) const;
  // lstat of `name` inside this open directory.
  int info_of(const char* name, FileInfo& info) const;
  // Reads a regular file from the current position to its end into `out`,
  // replacing its content; `expected_size` (what the file's size said) sizes
  // the buffer. A read that returns less than asked for is taken as the end.
  // EFBIG once more than `most` bytes were read.
  int read_to_end(Buffer& out, std::size_t expected_size, RetryInterrupted retry = nullptr,
                  std::uint64_t most = UINT64_MAX) const;

 private:
  friend class Mapping;
#if defined(_WIN32)
  using Handle = void*;  // a HANDLE
  static constexpr Handle kNone = nullptr;
#else
  using Handle = int;  // a file descriptor
  static constexpr Handle kNone = -1;
#endif
  explicit File(Handle handle) : fd_(handle) {}
  Handle fd_ = kNone;
};

// What read_whole_file gives for a file that is there but is neither a
// regular file nor a directory: a pipe, a socket, a device, or a link to one.
// No error number of the system has this value.
inline constexpr int kNotRegularFile = -1;

// open(path, "rb").read() of a regular file. Anything else is refused before
// a byte is read, as its read could fail, wait for a writer or never end:
// EISDIR for a directory, kNotRegularFile for the other kinds.
// Refuses with EFBIG a file of more than `most` bytes, by its size or by what
// a read finds (a file that grows while it is read): `info` then says how
// large it was; otherwise `info` holds what fstat said of the file read.
int read_whole_file(const std::string& path, Buffer& out, FileInfo& info, std::uint64_t most,
                    File::RetryInterrupted retry = nullptr);
// The same without a bound, with what fstat said of the file read in `info`.
inline int read_whole_file(const std::string& path, Buffer& out, FileInfo& info,
                           File::RetryInterrupted retry = nullptr) {
  return read_whole_file(path, out, info, UINT64_MAX, retry);
}
// The same without a bound.
inline int read_whole_file(const std::string& path, Buffer& out, File::RetryInterrupted retry = nullptr) {
  FileInfo info;
  return read_whole_file(path, out, info, UINT64_MAX, retry);
}

// The target text of the symbolic link `path`, as the system stores it.
int read_link(const std::string& path, Buffer& out);

// A whole regular file mapped read-only. The mapping shows the file as it is
// on disk, including writes made after it was mapped: every position read
// from it must be checked when it is read.
class Mapping {
 public:
  ~Mapping();
  Mapping(const Mapping&) = delete;
  Mapping& operator=(const Mapping&) = delete;

  // Null when the file cannot be opened, is not a regular file, or cannot be
  // mapped. An empty file maps to size 0. The identity is that of the file
  // really opened, even if the path is replaced meanwhile.
  static std::unique_ptr<Mapping> map(const std::string& path);

  const std::uint8_t* data() const { return data_; }
  std::size_t size() const { return size_; }
  const FileIdentity& identity() const { return identity_; }

 private:
  Mapping() = default;
  const std::uint8_t* data_ = nullptr;
  std::size_t size_ = 0;
  FileIdentity identity_;
};

}  // namespace platform
