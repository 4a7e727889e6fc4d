// Reading the working tree natively, with the answers the host's pathlib and
// open() would give the scan.
#pragma once

#include <atomic>
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "host/host.h"
#include "platform/files.h"
#include "store/index_file.h"
#include "store/object_id.h"

namespace status::worktree {

using platform::Buffer;
using platform::DirectoryEntry;
using platform::FileInfo;
using platform::FileKind;

// The text of a file-system path as the host names it: os.fsdecode(path).
host::Ref path_text(std::string_view path);

// os.stat(path), or os.lstat(path) when `follow_links` is false, read as
// pathlib reads it: nullopt when the path does not exist (ENOENT, ENOTDIR,
// EBADF, ELOOP, or a NUL byte in the path); any other failure raises the
// host's OSError for its errno (PermissionError for EACCES).
std::optional<FileInfo> status_of(const std::string& path, bool follow_links);

// os.listdir(path) with the kind the listing reports of each name (Unknown
// when the file system does not say), in the order the file system gives
// them. Failures raise the host's OSError.
std::vector<DirectoryEntry> list_directory(const std::string& path);

// True when the listed entry, whose full path is `path`, is a symbolic link
// itself; a failed lstat reads as not a link.
bool is_link(const std::string& path, const DirectoryEntry& entry);

// Whether `directory`, listed as `entries`, holds a repository: a `.git`
// that is a file or a directory (or a link to one).
bool holds_repository(const std::string& directory, const std::vector<DirectoryEntry>& entries);

// open(path, "rb").read() into `out`: false when the file cannot be opened
// or read, or is not a regular file (a directory, or a pipe whose read
// would wait for a writer). A signal that interrupts the read runs the
// host's handlers, and an exception they raise is thrown as host::Error.
bool read_file(const std::string& path, Buffer& out);

// The target text of the symbolic link `path` (os.readlink as bytes), the
// content git stores for a link; false when it cannot be read.
bool read_link(const std::string& path, Buffer& out);

// Whether open(path, "rb") would succeed now, asked without opening it.
bool could_read(const std::string& path);

// A file's blob id as git computes it (of the target text for a symbolic
// link): `known` when the file could be read.
struct FileHash {
  bool present = false;  // lstat found the path
  bool link = false;     // and found a symbolic link there
  bool known = false;    // the id below was computed
  bool unread = false;   // or taken from the index's stat data: the file was not opened
  store::ObjectId id;
};

// One file for the hasher: its path below the root ("" for none), the index
// entry whose stat data may vouch for its content (or null), and the answer.
struct HashJob {
  std::string_view path;
  const store::IndexEntry* recorded = nullptr;
  FileHash hash;
};

// Hashes files on worker threads while the caller does other work: the
// FileHash of every job, on as many threads as the machine has cores (four
// at most). The workers touch nothing of the host; a path that is neither a
// regular file nor a link, or cannot be read, stays unknown. A file whose
// stat data is still what its entry recorded (see store::stat_data_vouches)
// is taken to hold the entry's content without being opened (`unread`):
// whether it could be read is then the caller's to ask, where it matters.
class FileHasher {
 public:
  // Starts hashing the files of `jobs`, below `root`, into ids of `format`;
  // both must outlive the hasher, and the jobs are left alone until finish()
  // returns.
  FileHasher(const std::string& root, store::HashFormat format, std::vector<HashJob>& jobs);
  // Joins in until every file is hashed. Call without the GIL.
  void finish();
  ~FileHasher();
  FileHasher(const FileHasher&) = delete;
  FileHasher& operator=(const FileHasher&) = delete;

 private:
  void work();

  const std::string& root_;
  store::HashFormat format_;
  std::vector<HashJob>& jobs_;
  std::atomic<std::size_t> next_block_{0};
  std::vector<std::thread> threads_;
};

}  // namespace status::worktree
