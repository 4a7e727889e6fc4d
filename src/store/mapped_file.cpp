#include "store/mapped_file.h"

#include "store/file_error.h"

namespace store {

namespace {

// Bounded so that a long-lived process that sees many repositories keeps
// few mappings alive.
KeptByPath<MappedFile>& mappings() {
  static auto* kept = new KeptByPath<MappedFile>(64);  // never destroyed: used until exit
  return *kept;
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
  if (std::shared_ptr<const MappedFile> kept = mappings().find(path, now)) return kept;
  // Mapped outside the lock; the identity is that of the opened file, so a
  // file replaced in between is kept under what was really mapped.
  std::shared_ptr<const MappedFile> file = MappedFile::open(path);
  if (file == nullptr) return nullptr;
  mappings().keep(path, file->identity(), file);
  return file;
}

void clear_mapping_cache() { mappings().clear(); }

}  // namespace store
