#include "store/ref_files.h"

#include <algorithm>

#include "platform/files.h"
#include "store/declines.h"
#include "store/file_error.h"
#include "store/object_id.h"

namespace store {

namespace {

// dulwich's follow() raises SymrefLoop once it has read more refs than this
// in one chain, whatever the last one holds.
constexpr int kMostRefsFollowed = 5;
constexpr std::string_view kSymbolicPrefix = "ref: ";
constexpr std::string_view kRefsPrefix = "refs/";

// Whether dulwich reads `name` as a loose ref without a word
// (RefsContainer._check_refname): HEAD, refs/stash, or "refs/" and a name
// check_ref_format takes. A name it refuses, or takes with a
// DeprecationWarning (one with empty components), is not ours to read.
bool readable_name(std::string_view name) {
  if (name == "HEAD" || name == "refs/stash") return true;
  return name.starts_with(kRefsPrefix) && valid_ref_name(name.substr(kRefsPrefix.size()));
}

// packed-refs files as last read: one can be large (every tag), and is read
// again only when it changes.
KeptByPath<PackedRefsFile>& kept_packed_refs() {
  static auto* kept = new KeptByPath<PackedRefsFile>(16);  // never destroyed: stores may outlive static teardown
  return *kept;
}

// What os.walk takes an entry for: a directory it enters, a directory it
// lists but does not enter (a link to one), or a file (anything else, a
// dangling link included). Unreadable when that cannot be told.
enum class WalkKind : std::uint8_t { Directory, LinkedDirectory, File, Vanished, Unreadable };

WalkKind walk_kind(const std::string& path, platform::FileKind kind) {
  platform::FileInfo info;
  if (kind == platform::FileKind::Unknown) {
    const int error = platform::file_info(path, false, info);
    if (error != 0) return platform::means_absent(error) ? WalkKind::Vanished : WalkKind::Unreadable;
    kind = info.kind;
  }
  if (kind == platform::FileKind::Directory) return WalkKind::Directory;
  if (kind != platform::FileKind::Link) return WalkKind::File;
  const int error = platform::file_info(path, true, info);
  if (error == 0 && info.kind == platform::FileKind::Directory) return WalkKind::LinkedDirectory;
  return error == 0 || platform::means_absent(error) ? WalkKind::File : WalkKind::Unreadable;
}

}  // namespace

FileState read_packed_refs(const std::string& path, std::shared_ptr<const PackedRefsFile>& file) {
  file = nullptr;
  FileIdentity now;
  switch (identify(path, now)) {
    case FileState::Absent:
      return FileState::Absent;
    case FileState::NotRegular:
      throw FileError::not_regular(path);
    case FileState::Present:
      file = kept_packed_refs().find(path, now);
      if (file != nullptr) return FileState::Present;
      break;
    case FileState::Unusable:
      break;
  }
  auto fresh = std::make_shared<PackedRefsFile>();
  platform::FileInfo info;
  if (const int error = read_repository_file(path, fresh->bytes, info)) {
    return platform::means_absent(error) ? FileState::Absent : FileState::Unusable;
  }
  fresh->identity = info.identity;
  fresh->shape = check_packed_refs(fresh->text());
  fresh->names_replace_refs = fresh->text().find("refs/replace/") != std::string_view::npos;
  // Kept only while the path still shows the file that was read: one written
  // meanwhile may have given a mixture, good for this call only.
  FileIdentity after;
  if (identify(path, after) == FileState::Present && after == fresh->identity)
    kept_packed_refs().keep(path, fresh->identity, fresh);
  file = std::move(fresh);
  return FileState::Present;
}

Outcome RefFiles::read_loose(std::string_view name, RefValue& value) {
  // DiskRefsContainer.read_loose_ref: a file it cannot open is no loose ref
  // (a directory where a ref could be is usual); a pipe or a device is not
  // asked of it, as it would wait for ever or read without end.
  const int error = read_repository_file(git_dir_ + "/" + std::string(name), buffer_);
  if (error != 0) {
    if (platform::means_absent(error)) return Outcome::Missing;
    return note_decline(Outcome::declined("loose ref: file cannot be read"));
  }
  std::string_view content = buffer_.view();
  if (!content.ends_with('\n')) return note_decline(Outcome::declined("loose ref: no newline at the end"));
  content.remove_suffix(1);
  if (is_any_hex_id(content)) {
    value = RefValue{false, std::string(content)};
    return Outcome::Found;
  }
  if (!content.starts_with(kSymbolicPrefix))
    return note_decline(Outcome::declined("loose ref: neither an id nor a symbolic ref"));
  content.remove_prefix(kSymbolicPrefix.size());
  if (content.empty() || content.find_first_of("\r\n") != std::string_view::npos) {
    return note_decline(Outcome::declined("loose ref: symbolic target malformed"));
  }
  value = RefValue{true, std::string(content)};
  return Outcome::Found;
}

Outcome RefFiles::packed(const PackedRefs*& refs) {
  if (!packed_read_) {
    packed_read_ = true;
    // Only a file that is not there reads as no packed refs; dulwich lets
    // any other failure to open it raise.
    switch (read_packed_refs(git_dir_ + "/packed-refs", packed_file_)) {
      case FileState::Absent:
        break;
      case FileState::Present:
        if (packed_file_->shape.plain) {
          packed_refs_ = std::make_unique<PackedRefs>(packed_file_->text(), packed_file_->shape);
        } else if (packed_file_->shape.malformed_line == 0) {
          packed_outcome_ = Outcome::declined("packed-refs: empty file");
        } else {
          packed_outcome_ = Outcome::declined("packed-refs: line {} malformed", packed_file_->shape.malformed_line);
        }
        break;
      default:
        packed_outcome_ = Outcome::declined("packed-refs: file cannot be read");
        break;
    }
  }
  refs = packed_refs_.get();
  return note_decline(packed_outcome_);
}

Outcome RefFiles::read_ref(std::string_view name, RefValue& value) {
  if (storage_ == RefStorage::Reftable) return note_decline(tables_.read_ref(name, value.symbolic, value.text));
  if (!readable_name(name)) return note_decline(Outcome::declined("ref name dulwich refuses or warns about"));
  if (const Outcome loose = read_loose(name, value); loose != Outcome::Missing) return loose;
  const PackedRefs* refs = nullptr;
  if (const Outcome packed_refs = packed(refs); packed_refs == Outcome::Declined) return packed_refs;
  if (refs == nullptr) return Outcome::Missing;
  std::string_view hex;
  const Outcome read = note_decline(refs->find(name, hex));
  if (read == Outcome::Found) value = RefValue{false, std::string(hex)};
  return read;
}

Outcome RefFiles::resolve(std::string_view name, std::string& hex, std::string* missing) {
  if (storage_ == RefStorage::Reftable) {
    std::string missed;
    const Outcome read = note_decline(tables_.resolve(name, hex, missed));
    if (missing != nullptr) *missing = std::move(missed);
    return read;
  }
  if (missing != nullptr) *missing = name;
  std::string current(name);
  for (int read_count = 1;; ++read_count) {
    RefValue value;
    const Outcome read = read_ref(current, value);
    if (read != Outcome::Found) return read;
    if (read_count > kMostRefsFollowed)
      return note_decline(Outcome::declined("symbolic refs: a chain dulwich calls a loop"));
    if (!value.symbolic) {
      hex = std::move(value.text);
      return Outcome::Found;
    }
    current = std::move(value.text);
  }
}

bool RefFiles::walk_loose(const std::string& directory, std::vector<std::string>& names) {
  std::vector<platform::DirectoryEntry> entries;
  const int error = platform::list_directory(git_dir_ + "/" + directory, entries);
  // A directory gone meanwhile holds nothing. One that cannot be listed is
  // passed over by dulwich's walk, though its reads may still reach the
  // files in it: not ours.
  if (error != 0) return platform::means_absent(error);
  for (const platform::DirectoryEntry& entry : entries) {
    const std::string name = directory + "/" + entry.name;
    switch (walk_kind(git_dir_ + "/" + name, entry.kind)) {
      case WalkKind::Directory:
        if (!walk_loose(name, names)) return false;
        break;
      case WalkKind::File:
        if (valid_ref_name(name)) names.push_back(name);
        break;
      case WalkKind::Vanished:
        break;
      case WalkKind::LinkedDirectory:  // not walked, yet read through
      case WalkKind::Unreadable:
        return false;
    }
  }
  return true;
}

bool RefFiles::list_loose(std::string_view prefix, std::vector<std::string>& names) {
  // os.walk(<git dir>/refs) lists every directory it enters and enters only
  // real ones: the directories on the way to `prefix` must be listed and real.
  if (!prefix.starts_with(kRefsPrefix) || !prefix.ends_with('/')) return false;
  std::string directory = "refs";
  std::string_view rest = prefix.substr(kRefsPrefix.size());
  while (!rest.empty()) {
    const std::string_view component = rest.substr(0, rest.find('/'));
    std::vector<platform::DirectoryEntry> entries;
    const int error = platform::list_directory(git_dir_ + "/" + directory, entries);
    if (error != 0) return platform::means_absent(error);
    const auto entry = std::find_if(entries.begin(), entries.end(),
                                    [&](const platform::DirectoryEntry& item) { return item.name == component; });
    if (entry == entries.end()) return true;
    directory += "/";
    directory += component;
    switch (walk_kind(git_dir_ + "/" + directory, entry->kind)) {
      case WalkKind::Directory:
        break;
      case WalkKind::File:
      case WalkKind::Vanished:
        return true;
      case WalkKind::LinkedDirectory:
      case WalkKind::Unreadable:
        return false;
    }
    rest.remove_prefix(component.size() + 1);
  }
  return walk_loose(directory, names);
}

Outcome RefFiles::for_each(std::string_view prefix, const EachRef& each) {
  if (storage_ == RefStorage::Reftable) return note_decline(tables_.for_each(prefix, each));
  std::vector<std::string> loose;
  if (!list_loose(prefix, loose))
    return note_decline(Outcome::declined("loose refs: a directory that cannot be listed, or a link to one"));
  std::sort(loose.begin(), loose.end());
  for (const std::string& name : loose) {
    std::string hex;
    const Outcome read = resolve(name, hex);
    if (read == Outcome::Declined) return read;
    each(name, hex);
  }
  // dulwich lists the packed names too (reading packed-refs even when no
  // name comes from it); a loose file of the same name is read instead.
  const PackedRefs* refs = nullptr;
  if (const Outcome packed_refs = packed(refs); packed_refs == Outcome::Declined) return packed_refs;
  if (refs == nullptr) return Outcome::Found;
  return note_decline(refs->for_each(prefix, [&](std::string_view name, std::string_view hex) {
    if (!std::binary_search(loose.begin(), loose.end(), name)) each(name, hex);
  }));
}

}  // namespace store
