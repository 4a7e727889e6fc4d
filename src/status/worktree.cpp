#include "status/worktree.h"

#include <algorithm>
#include <cerrno>

#include "store/object_hash.h"

namespace status::worktree {

namespace {

// pathlib's "does not exist" errors.
bool means_missing(int error) { return error == ENOENT || error == ENOTDIR || error == EBADF || error == ELOOP; }

bool has_nul(const std::string& path) { return path.find('\0') != std::string::npos; }

[[noreturn]] void raise_for(int error, const std::string& path) {
  host::Ref filename = path_text(path);
  host::raise_os_error(error, filename.get());
}

// An interrupted system call is retried after the host's signal handlers
// ran, as the host's own I/O does; false when a handler raised.
bool retry_after_signal() { return PyErr_CheckSignals() == 0; }

}  // namespace

host::Ref path_text(std::string_view path) {
  return host::Ref::check(PyUnicode_DecodeFSDefaultAndSize(path.data(), static_cast<Py_ssize_t>(path.size())));
}

std::optional<FileInfo> status_of(const std::string& path, bool follow_links) {
  if (has_nul(path)) return std::nullopt;
  FileInfo info;
  const int error = platform::file_info(path, follow_links, info);
  if (error == 0) return info;
  if (means_missing(error)) return std::nullopt;
  raise_for(error, path);
}

std::vector<DirectoryEntry> list_directory(const std::string& path) {
  if (has_nul(path)) host::raise(PyExc_ValueError, "embedded null byte");
  std::vector<DirectoryEntry> entries;
  if (const int error = platform::list_directory(path, entries)) raise_for(error, path);
  return entries;
}

bool is_link(const std::string& path, const DirectoryEntry& entry) {
  if (entry.kind != FileKind::Unknown) return entry.kind == FileKind::Link;
  FileInfo info;
  return platform::file_info(path, false, info) == 0 && info.kind == FileKind::Link;
}

bool holds_repository(const std::string& directory, const std::vector<DirectoryEntry>& entries) {
  for (const DirectoryEntry& entry : entries) {
    if (entry.name != ".git") continue;
    if (entry.kind == FileKind::Regular || entry.kind == FileKind::Directory) return true;
    FileInfo info;
    return (entry.kind == FileKind::Link || entry.kind == FileKind::Unknown) &&
           platform::file_info(directory + "/.git", true, info) == 0 &&
           (info.kind == FileKind::Regular || info.kind == FileKind::Directory);
  }
  return false;
}

bool read_file(const std::string& path, Buffer& out) {
  const bool read = !has_nul(path) && platform::read_whole_file(path, out, retry_after_signal) == 0;
  if (PyErr_Occurred()) throw host::Error{};
  return read;
}

bool read_link(const std::string& path, Buffer& out) { return platform::read_link(path, out) == 0; }

bool could_read(const std::string& path) { return !has_nul(path) && platform::readable(path) == 0; }

namespace {

// One file of the hasher, `name` in `directory` (whose path is
// `directory_path`). Without the GIL no signal handler can run: an
// interrupted call is simply made again, and the host handles the signal
// once it has the GIL back.
void hash_one(const platform::File& directory, const std::string& directory_path, const std::string& name,
              const store::IndexEntry* recorded, store::HashFormat format, Buffer& buffer, FileHash& hash) {
  FileInfo info;
  // A file whose stat data vouches for its content. (A link's target text
  // can be read wherever the link can be seen.)
  if (recorded != nullptr && directory.info_of(name.c_str(), info) == 0 && store::stat_data_matches(*recorded, info)) {
    hash.present = hash.known = true;
    hash.link = info.kind == FileKind::Link;
    hash.unread = !hash.link;
    hash.id = recorded->id;
    return;
  }
  platform::File file;
  // Not following a link, which git hashes by its target text.
  if (const int error = platform::File::open_in(directory, name.c_str(), platform::LastLink::Refuse, file)) {
    if (error != ELOOP || platform::read_link(directory_path + "/" + name, buffer) != 0) return;
    hash.present = hash.link = true;
  } else {
    if (file.info(info) != 0) return;
    hash.present = true;
    if (info.kind != FileKind::Regular) return;
    if (file.read_to_end(buffer, static_cast<std::size_t>(info.identity.size)) != 0) return;
  }
  hash.id = store::object_id(format, store::ObjectType::Blob, buffer.data(), buffer.size());
  hash.known = true;
}

}  // namespace

// Files come in blocks of neighbours (an index is sorted by path), and each
// is opened relative to its directory, opened once per block: the kernel then
// looks one name up instead of a whole path.
constexpr std::size_t kBlock = 64;

FileHasher::FileHasher(const std::string& root, store::HashFormat format, std::vector<HashJob>& jobs)
    : root_(root), format_(format), jobs_(jobs) {
  const unsigned cores = std::max(1u, std::min(4u, std::thread::hardware_concurrency()));
  // The caller joins in later, so one core is left for what it does meanwhile.
  const std::size_t helpers = jobs.size() < 4 * kBlock ? 0 : cores - 1;
  for (std::size_t i = 0; i < helpers; ++i) threads_.emplace_back([this] { work(); });
}

void FileHasher::finish() {
  work();
  for (std::thread& thread : threads_) thread.join();
  threads_.clear();
}

FileHasher::~FileHasher() {
  // Hashing is never left running behind the scan, whatever ended it.
  next_block_ = jobs_.size();
  for (std::thread& thread : threads_) thread.join();
}

void FileHasher::work() {
  Buffer buffer;
  std::string directory_path, name;
  for (std::size_t begin = kBlock * next_block_++; begin < jobs_.size(); begin = kBlock * next_block_++) {
    platform::File directory;
    std::string_view directory_below;  // the open directory's path below the root
    bool opened = false;
    for (std::size_t i = begin; i < std::min(jobs_.size(), begin + kBlock); ++i) {
      HashJob& job = jobs_[i];
      if (job.path.empty() || job.path.find('\0') != std::string_view::npos) continue;
      const std::size_t slash = job.path.rfind('/');
      const std::string_view below = slash == std::string_view::npos ? std::string_view() : job.path.substr(0, slash);
      if (!opened || below != directory_below) {
        directory_below = below;
        directory_path.assign(root_);
        if (!below.empty()) directory_path.append("/").append(below);
        platform::File::open_directory(directory_path, directory);
        opened = true;
      }
      name.assign(job.path.substr(slash + 1));  // the whole path when there is no slash
      if (directory.is_open()) hash_one(directory, directory_path, name, job.recorded, format_, buffer, job.hash);
    }
  }
}

}  // namespace status::worktree
