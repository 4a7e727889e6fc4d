#include "status/worktree.h"

#include <algorithm>
#include <cerrno>

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

bool read_file(const std::string& path, Buffer& out) {
  const bool read = !has_nul(path) && platform::read_whole_file(path, out, retry_after_signal) == 0;
  if (PyErr_Occurred()) throw host::Error{};
  return read;
}

bool read_link(const std::string& path, Buffer& out) { return platform::read_link(path, out) == 0; }

namespace {

// One path of the hasher, `name` opened in `directory`. Without the GIL no
// signal handler can run: an interrupted call is simply made again, and the
// host handles the signal once it has the GIL back.
void hash_one(const platform::File& directory, const char* name, const std::string& path, Buffer& buffer,
              FileHash& hash) {
  platform::File file;
  // Not following a link, which git hashes by its target text.
  if (const int error = platform::File::open_in(directory, name, platform::LastLink::Refuse, file)) {
    if (error != ELOOP || platform::read_link(path, buffer) != 0) return;
    hash.present = hash.link = true;
  } else {
    FileInfo info;
    if (file.info(info) != 0) return;
    hash.present = true;
    if (info.kind != FileKind::Regular) return;
    if (file.read_to_end(buffer, static_cast<std::size_t>(info.identity.size)) != 0) return;
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
    platform::File directory;
    bool opened = false;
    for (std::size_t i = begin; i < std::min(paths_.size(), begin + kBlock); ++i) {
      const std::string& path = paths_[i];
      const std::size_t slash = path.rfind('/');
      if (has_nul(path) || slash == std::string::npos) continue;
      if (!opened || directory_path.size() != slash || path.compare(0, slash, directory_path) != 0) {
        directory_path.assign(path, 0, slash);
        platform::File::open_directory(directory_path, directory);
        opened = true;
      }
      if (directory.is_open()) hash_one(directory, path.c_str() + slash + 1, path, buffer, hashes_[i]);
    }
  }
}

}  // namespace status::worktree
