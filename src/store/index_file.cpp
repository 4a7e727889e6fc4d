#include "store/index_file.h"

#include <cerrno>
#include <cstring>
#include <iterator>

#include "platform/files.h"
#include "store/declines.h"
#include "store/file_error.h"
#include "store/object_hash.h"

namespace store {

namespace {

// The parts of an index file, and of each entry: ten 32-bit stat fields,
// the id (of the repository's format), the flags, then (version 3 and later)
// the extended flags and the path. The file ends with its checksum, a hash
// of the format.
constexpr std::size_t kIndexHeaderSize = 12;  // "DIRC", version, entry count
constexpr std::size_t kStatFields = 10 * 4;
constexpr std::size_t flags_at(HashFormat format) { return kStatFields + id_size(format); }
// Entry bytes before the extended flags and the path: 62, or 74 with SHA-256.
constexpr std::size_t fixed_size(HashFormat format) { return flags_at(format) + 2; }

// Notes why the index is left to dulwich, and says it is.
IndexRead declined(const char* reason) {
  note_decline(reason);
  return IndexRead::Declined;
}

}  // namespace

IndexRead parse_index(std::string_view text, HashFormat format, IndexContents& contents) {
  contents.version = 0;
  contents.long_path = 0;
  contents.paths.clear();
  contents.entries.clear();
  const auto* data = reinterpret_cast<const std::uint8_t*>(text.data());
  const std::size_t size = text.size();
  const std::size_t checksum_size = id_size(format);
  const std::size_t fixed = fixed_size(format);
  const std::size_t flags_offset = flags_at(format);
  if (size < kIndexHeaderSize + checksum_size || std::memcmp(data, "DIRC", 4) != 0)
    return declined("index: no DIRC header");
  const std::uint32_t version = read_be32(data + 4);
  if (version < 2 || version > 4) return declined("index: a version other than 2, 3 or 4");
  contents.version = version;
  const std::uint32_t count = read_be32(data + 8);
  const std::size_t end = size - checksum_size;  // where the checksum starts
  if (count > end / fixed) return declined("index: more entries than the file holds");
  contents.entries.reserve(count);
  std::size_t at = kIndexHeaderSize;
  std::string previous;                        // version 4 compresses each path against this one
  std::size_t last_offset = 0, last_size = 0;  // the previous entry's path in `paths`
  int last_stage = -1;
  for (std::uint32_t i = 0; i < count; ++i) {
    const std::size_t begin = at;
    if (end - at < fixed) return declined("index: an entry past the end");
    const std::uint8_t* p = data + at;
    IndexEntry entry;
    // ctime, mtime (seconds, nanoseconds), dev, ino, mode, uid, gid, size.
    std::uint32_t stat[kStatFields / 4];
    for (std::size_t k = 0; k < std::size(stat); ++k) stat[k] = read_be32(p + 4 * k);
    entry.ctime_seconds = stat[0];
    entry.ctime_nanoseconds = stat[1];
    entry.mtime_seconds = stat[2];
    entry.mtime_nanoseconds = stat[3];
    entry.dev = stat[4];
    entry.ino = stat[5];
    entry.mode = stat[6];
    entry.uid = stat[7];
    entry.gid = stat[8];
    entry.size = stat[9];
    entry.id = ObjectId::from_raw(p + kStatFields, format);
    const std::uint16_t flags = static_cast<std::uint16_t>(p[flags_offset] << 8 | p[flags_offset + 1]);
    at += fixed;
    if (flags & 0x4000) {
      if (version < 3 || end - at < 2) return declined("index: extended flags dulwich reads otherwise");
      entry.extended_flags = static_cast<std::uint16_t>(data[at] << 8 | data[at + 1]);
      at += 2;
    }
    entry.flags = flags & 0xF000;
    // Sparse directory entries (a directory's mode) are for dulwich.
    if ((entry.mode & platform::kModeTypeMask) == platform::kModeDirectory)
      return declined("index: a sparse directory entry");
    const std::size_t name_size = flags & 0x0FFF;
    entry.path_offset = contents.paths.size();
    if (version == 4) {
      // dulwich reads this length as a little-endian varint, git as its
      // offset varint: they agree on one byte only.
      if (at >= end || (data[at] & 0x80)) return declined("index: a path-compression length dulwich reads otherwise");
      const std::size_t drop = data[at++];
      if (drop > previous.size()) return declined("index: a path-compression length past the previous path");
      const void* nul = std::memchr(data + at, 0, end - at);
      if (nul == nullptr) return declined("index: a path past the end");
      const std::size_t suffix = static_cast<const std::uint8_t*>(nul) - (data + at);
      if (previous.size() - drop + suffix > kMaxIndexPath) {
        contents.long_path = previous.size() - drop + suffix;
        return IndexRead::PathTooLong;
      }
      previous.resize(previous.size() - drop);
      previous.append(reinterpret_cast<const char*>(data + at), suffix);
      at += suffix + 1;
      contents.paths.append(previous);
    } else {
      // A name of 0xFFF bytes or more has its length cut short; dulwich then
      // misreads the entry.
      if (name_size == 0x0FFF || end - at < name_size)
        return declined("index: a path of 4095 bytes or more, or past the end");
      if (std::memchr(data + at, 0, name_size) != nullptr) return declined("index: a NUL in a path");
      contents.paths.append(reinterpret_cast<const char*>(data + at), name_size);
      at += name_size;
      // NUL padding to a multiple of eight, one to eight bytes.
      const std::size_t padded = begin + ((at - begin + 8) & ~std::size_t{7});
      if (padded > end) return declined("index: padding past the end");
      for (; at < padded; ++at) {
        if (data[at] != 0) return declined("index: padding that is not NUL");
      }
    }
    entry.path_size = contents.paths.size() - entry.path_offset;
    if (entry.path_size == 0) return declined("index: an empty path");
    const int stage = (flags >> 12) & 3;
    const std::string_view path(contents.paths.data() + entry.path_offset, entry.path_size);
    // Entries strictly ordered by path, then stage, as git writes them: each
    // path once, and an unmerged path never also at stage 0. (dulwich keeps
    // one dictionary entry per path.)
    if (i != 0) {
      const int order = path.compare(std::string_view(contents.paths.data() + last_offset, last_size));
      if (order < 0 || (order == 0 && (stage <= last_stage || last_stage == 0)))
        return declined("index: entries out of order");
      if (order == 0) {
        // Another stage of the same unmerged path: already one entry.
        last_stage = stage;
        contents.paths.resize(entry.path_offset);
        continue;
      }
    }
    entry.conflicted = stage != 0;
    if (entry.conflicted) entry.id = ObjectId{{}, format};
    contents.entries.push_back(entry);
    last_offset = entry.path_offset;
    last_size = entry.path_size;
    last_stage = stage;
  }
  // Extensions: four uppercase letters, a size, the data. dulwich stops at
  // anything else (a `link` or `sdir`, say) and then fails its checksum.
  while (at < end) {
    if (end - at < 8) return declined("index: an extension header past the end");
    for (int k = 0; k < 4; ++k) {
      if (data[at + k] < 'A' || data[at + k] > 'Z')
        return declined("index: an extension git does not skip (a split index)");
    }
    const std::uint32_t extension_size = read_be32(data + at + 4);
    if (end - at - 8 < extension_size) return declined("index: an extension past the end");
    at += 8 + extension_size;
  }
  const ObjectId recorded = ObjectId::from_raw(data + end, format);
  if (recorded != ObjectId{{}, format}) {
    Hasher hasher(format);
    hasher.update(data, end);
    if (hasher.finish() != recorded) return declined("index: checksum mismatch");
  }
  return IndexRead::Read;
}

IndexRead read_index(const std::string& path, HashFormat format, IndexContents& contents) {
  contents.version = 0;
  contents.paths.clear();
  contents.entries.clear();
  // Read into memory rather than mapped: git replaces the index by renaming
  // a new file over it, but another program may write it in place, and a
  // private copy cannot change while it is parsed.
  platform::Buffer bytes;
  platform::FileInfo file;
  if (const int error = read_repository_file(path, bytes, file)) {
    // dulwich gives an empty index when the path does not exist.
    platform::FileInfo info;
    if (platform::means_absent(error) && platform::means_absent(platform::file_info(path, false, info))) {
      return IndexRead::Read;
    }
    return declined("index: file cannot be read");
  }
  if (bytes.empty()) return declined("index: empty file");
  const IndexRead read = parse_index(bytes.view(), format, contents);
  if (read == IndexRead::PathTooLong) {
    throw FileError::too_large(path, "an index entry whose path has " + std::to_string(contents.long_path) +
                                         " bytes, more than the " + std::to_string(kMaxIndexPath) +
                                         " bytes git writes (index file of " + std::to_string(bytes.size()) +
                                         " bytes)");
  }
  contents.mtime_ns = file.identity.mtime_ns;
  return read;
}

namespace {

// A time as the index records it: the seconds truncated to 32 bits, and
// the nanoseconds.
struct IndexTime {
  std::uint32_t seconds, nanoseconds;
};

IndexTime index_time(std::int64_t ns) {
  constexpr std::int64_t kBillion = 1000000000;
  std::int64_t seconds = ns / kBillion, rest = ns % kBillion;
  if (rest < 0) {
    seconds -= 1;
    rest += kBillion;
  }
  return {static_cast<std::uint32_t>(seconds), static_cast<std::uint32_t>(rest)};
}

// The mode git records for the file `info` describes: a link, or a regular
// file executable by its owner or not; 0 for anything else.
std::uint32_t git_mode(const platform::FileInfo& info) {
  switch (info.kind) {
    case platform::FileKind::Regular:
      return (info.mode & 0100) ? 0100755 : 0100644;
    case platform::FileKind::Link:
      return 0120000;
    default:
      return 0;
  }
}

constexpr std::uint16_t kAssumeValid = 0x8000;

}  // namespace

bool stat_data_vouches(const IndexEntry& entry, std::int64_t index_mtime_ns) {
  if (entry.conflicted || (entry.flags & kAssumeValid) != 0 || entry.extended_flags != 0) return false;
  if (entry.mode != 0100644 && entry.mode != 0100755 && entry.mode != 0120000) return false;
  // A file's ctime is set by the system when it changes, never zero.
  if (entry.ctime_seconds == 0 || entry.size == 0) return false;
  return entry.mtime_seconds < index_time(index_mtime_ns).seconds;
}

bool stat_data_matches(const IndexEntry& entry, const platform::FileInfo& info) {
  const IndexTime ctime = index_time(info.identity.ctime_ns);
  const IndexTime mtime = index_time(info.identity.mtime_ns);
  return entry.mode == git_mode(info) && entry.size == static_cast<std::uint32_t>(info.identity.size) &&
         entry.mtime_seconds == mtime.seconds && entry.mtime_nanoseconds == mtime.nanoseconds &&
         entry.ctime_seconds == ctime.seconds && entry.ctime_nanoseconds == ctime.nanoseconds &&
         entry.ino == static_cast<std::uint32_t>(info.identity.inode) &&
         entry.dev == static_cast<std::uint32_t>(info.identity.device) && entry.uid == info.uid &&
         entry.gid == info.gid;
}

}  // namespace store
