// The index file (`.git/index`), read as dulwich's `Index(path)` reads it.
//
// read_index throws FileError (file_error.h) for an index that is a pipe, a
// socket or a device (or a link to one), and for one that describes a path
// longer than git ever writes; nothing else here throws except
// std::bad_alloc.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "platform/files.h"
#include "store/object_id.h"

namespace store {

struct IndexEntry {
  std::size_t path_offset = 0, path_size = 0;  // into IndexContents::paths (which may pass 4 GiB)
  bool conflicted = false;                     // an unmerged path: stages 1-3, one entry, no id
  ObjectId id;                                 // stage 0 only
  std::uint32_t ctime_seconds = 0, ctime_nanoseconds = 0, mtime_seconds = 0, mtime_nanoseconds = 0;
  std::uint32_t dev = 0, ino = 0, mode = 0, uid = 0, gid = 0, size = 0;
  std::uint16_t flags = 0;           // without the name length
  std::uint16_t extended_flags = 0;  // intent-to-add 0x2000, skip-worktree 0x4000
};

// The longest path git writes into an index (its PATH_MAX). A version-4
// index builds each path from the one before it, so a few bytes per entry
// can describe ever longer paths: one past this bound makes the index
// damaged, and what the reader builds stays within what a sound index can
// describe.
inline constexpr std::size_t kMaxIndexPath = 4096;

struct IndexContents {
  std::uint32_t version = 0;
  std::size_t long_path = 0;  // with IndexRead::PathTooLong: the length of the path found
  std::int64_t mtime_ns = 0;  // the index file's own modification time, when read from a file
  std::string paths;
  std::vector<IndexEntry> entries;  // in dulwich's `Index.items()` order
  std::string_view path(const IndexEntry& entry) const { return {paths.data() + entry.path_offset, entry.path_size}; }
};

enum class IndexRead : std::uint8_t {
  Read,        // `contents` holds what dulwich gives
  Declined,    // dulwich reads it its own way or raises: ask dulwich
  PathTooLong  // an entry's path is longer than kMaxIndexPath: the index is damaged
};

// Parses the bytes of an index file of a repository whose ids are in
// `format` (its entries' ids and its checksum). Versions 2, 3 and 4 in the shape git
// writes (entries in order, every path once, unmerged stages after no stage-0
// entry, padding of NULs, path-compression lengths below 128 in version 4),
// optional extensions skipped, and the trailing checksum right (or all
// zeros, which dulwich accepts for index.skipHash). Anything else, including
// a split index (its `link` extension) and sparse directory entries, is
// Declined.
IndexRead parse_index(std::string_view bytes, HashFormat format, IndexContents& contents);

// Reads the index file at `path`. A missing file is an empty index, as for
// dulwich. Never PathTooLong: that throws FileError, naming the file.
IndexRead read_index(const std::string& path, HashFormat format, IndexContents& contents);

// Whether git lets the entry's stat data vouch for its file's content: a
// file or symbolic link at stage 0 that git checks on the disk (neither
// assume-valid, skip-worktree nor intent-to-add), with stat data recorded
// (not the zeros some writers leave, nor the size 0 git gives an entry it
// found racy), and not racily clean itself: its mtime recorded in an earlier
// second than `index_mtime_ns`, the index file's own (the file may have
// changed within the tick in which its stat data was taken).
bool stat_data_vouches(const IndexEntry& entry, std::int64_t index_mtime_ns);

// Whether `info`, a file's lstat, is the stat data the entry recorded, in
// the index's own terms: both times to the nanosecond, device, inode, uid,
// gid and size truncated to 32 bits, and the mode git gives such a file.
bool stat_data_matches(const IndexEntry& entry, const platform::FileInfo& info);

}  // namespace store
