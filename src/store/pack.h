// Pack indexes, pack entries, zlib streams and deltas.
//
// The index lookup mirrors dulwich's, bisection included (an inclusive end
// and 32-bit signed arithmetic in its compiled `bisect_find_sha`), so that
// even a damaged index gives the same found / not found; wherever dulwich
// would raise or misbehave the lookup is Declined instead.
#pragma once

#include <zlib.h>

#include <cstddef>
#include <cstdint>
#include <memory>

#include "store/mapped_file.h"
#include "store/object_id.h"
#include "store/outcome.h"

namespace store {

// The largest object the store builds: a whole object's inflated size, a
// delta's own size, and the result of every delta along a chain. Anything
// larger is left to dulwich (which has no limit of its own for packed
// objects). A delta can ask for a large result with few bytes (each copy
// instruction repeats up to 16 MiB of its base), so this bounds what one read
// allocates: its result, the base it is built from and the delta, each at
// most this size.
inline constexpr std::uint64_t kMaxObjectSize = std::uint64_t{256} << 20;

class PackIndex {
 public:
  // How dulwich fares when it loads an index.
  enum class Load : std::uint8_t {
    Usable,
    Skipped,   // dulwich raises KeyError while loading: the pack is passed over
    Declined,  // dulwich raises anything else
  };

  // Reads the header of a mapped `.idx` of a repository whose ids are in
  // `format`; `index` is set when Usable, `refusal` (a string literal) says
  // why when Declined.
  static Load load(std::shared_ptr<const MappedFile> file, HashFormat format, std::unique_ptr<PackIndex>& index,
                   const char*& refusal);

  // dulwich's `object_offset`: Found with the entry's offset in the pack,
  // Missing for a KeyError, Declined wherever it would raise or misbehave.
  Outcome find(const ObjectId& id, std::uint64_t& offset) const;
  std::uint32_t count() const { return count_; }
  const FileIdentity& identity() const { return file_->identity(); }
  // The pack checksum the index records (the first of its two trailing
  // ids) as dulwich reads it: Found, or Declined when the index is too short
  // to hold it or dulwich reads it as no checksum of the format at all.
  Outcome pack_checksum(ObjectId& checksum) const;

 private:
  // Entry i of the fanout table; the loaded size covers the whole table.
  std::uint32_t fanout(std::size_t i) const;

  std::shared_ptr<const MappedFile> file_;
  HashFormat format_ = HashFormat::Sha1;
  bool interleaved_ = false;  // version 1: offset and id side by side, no other tables
  bool version_3_ = false;    // dulwich's version 3: version 2's tables behind a longer header
  std::size_t fanout_offset_ = 0;
  std::size_t names_offset_ = 0;  // where the first entry's id is
  std::uint32_t count_ = 0;
};

// Pairs of an index and a pack file, by the files' identities, known to pass
// the checks dulwich makes when it first reads from the pack (its header,
// its object count against the index's, its trailer against the checksum the
// index records): a later store need not map the pack to know. Thread-safe;
// a bounded number of pairs is remembered.
bool known_to_match(const FileIdentity& index, const FileIdentity& pack);
void remember_match(const FileIdentity& index, const FileIdentity& pack);

// The kind of a pack entry: a whole object of one of the four types (the
// same numbers as ObjectType), or a delta against a base found by offset or
// by id.
enum class EntryKind : std::uint8_t { Commit = 1, Tree = 2, Blob = 3, Tag = 4, OffsetDelta = 6, ReferenceDelta = 7 };

inline bool is_whole_object(EntryKind kind) { return kind <= EntryKind::Tag; }

// The parts of a pack around its entries: "PACK", version and count, then
// the entries, then the checksum of all before it (an id of the format).
inline constexpr std::size_t kPackHeaderSize = 12;
inline constexpr std::size_t pack_trailer_size(HashFormat format) { return id_size(format); }

// The header of one pack entry.
struct PackEntry {
  EntryKind kind = EntryKind::Commit;
  std::uint64_t size = 0;                 // inflated size of the object or of the delta
  std::uint64_t data = 0;                 // offset of the zlib stream
  std::uint64_t base = 0;                 // offset delta: the base entry's offset
  const std::uint8_t* base_id = nullptr;  // reference delta: the base's id
};

// Parses the entry at `offset` in a pack of `size` bytes (trailer included)
// whose ids are in `format`. False for anything malformed or that dulwich
// would reject: kinds 0 and 5, sizes past 64 bits or over kMaxObjectSize, an
// offset delta of distance 0 or reaching before the pack header.
bool parse_pack_entry(const std::uint8_t* pack, std::size_t size, HashFormat format, std::uint64_t offset,
                      PackEntry& entry);

// Room an inflation needs past the bytes it should produce: one byte shows
// a stream that runs long, and zlib decodes on its fast path only while it
// has 258 bytes of room or more.
inline constexpr std::size_t kInflateSlack = 512;

// A reusable inflater. `inflate_exact` inflates one complete zlib stream
// from `in` into `out`, which must have room for `out_size + kInflateSlack`
// bytes; true only when the stream ends and yields exactly `out_size` bytes.
class Inflater {
 public:
  Inflater();
  ~Inflater();
  Inflater(const Inflater&) = delete;
  Inflater& operator=(const Inflater&) = delete;
  bool ready() const { return ready_; }
  bool inflate_exact(const std::uint8_t* in, std::size_t in_size, std::uint8_t* out, std::size_t out_size);
  // Inflates a stream from the start, into `out` (resized as it goes), until
  // it ends; stops with false past `limit` bytes. `consumed` is set to the
  // compressed length of the stream.
  bool inflate_all(const std::uint8_t* in, std::size_t in_size, Buffer& out, std::uint64_t limit,
                   std::size_t& consumed);

 private:
  // Hands zlib the next stretch of the input once it has used what it had.
  void feed(const std::uint8_t* in, std::size_t in_size, std::size_t& in_left);

  z_stream stream_{};
  bool ready_ = false;
};

// True when `size` inflated bytes could come from `compressed` bytes of
// zlib data at all (deflate expands at most about 1032 to 1).
inline bool inflatable(std::uint64_t size, std::uint64_t compressed) {
  return size <= kMaxObjectSize && size <= compressed * 1040 + 64;
}

// The two sizes that open a delta. False when the delta is too short or a
// size runs past 64 bits.
bool read_delta_sizes(const std::uint8_t* delta, std::size_t size, std::uint64_t& base_size, std::uint64_t& result_size,
                      std::size_t& ops);

// Applies `delta` to `base` into `result`. False for a base of the wrong
// size, the reserved opcode 0, a copy outside the base, an insert past the
// delta's end, or a result of another size than the one declared.
bool apply_delta(const std::uint8_t* base, std::size_t base_size, const std::uint8_t* delta, std::size_t delta_size,
                 Buffer& result);

}  // namespace store
