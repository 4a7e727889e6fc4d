#include "store/pack.h"

#include <climits>
#include <cstring>
#include <mutex>
#include <unordered_set>

namespace store {

namespace {

constexpr std::uint8_t kIndexMagic[4] = {0xff, 't', 'O', 'c'};
constexpr std::uint64_t kInt32Max = 0x7fffffff;

// The layouts of pack indexes. Version 2: magic and version, the fanout,
// then per object its id, CRC and 4-byte offset (each a table of its own),
// then the 8-byte offsets that do not fit in 31 bits. Version 3 (dulwich's):
// the same tables after a 16-byte header that adds the hash format and the
// length of shortened ids. Version 1: the fanout, then per object a 4-byte
// offset followed by its id. All end with two ids: the pack's checksum and
// the index's own.
constexpr std::size_t kFanoutSize = 256 * 4;
constexpr std::size_t kV2Header = 8;
constexpr std::size_t kV3Header = 16;
constexpr std::size_t kCrcSize = 4;
constexpr std::size_t kOffsetSize = 4;
constexpr std::size_t kLargeOffsetSize = 8;
constexpr std::size_t kV1Ids = kFanoutSize + kOffsetSize;  // the id of entry 0
constexpr std::size_t table_bytes_per_object(HashFormat format) { return id_size(format) + kCrcSize + kOffsetSize; }
constexpr std::size_t v1_entry_size(HashFormat format) { return kOffsetSize + id_size(format); }
constexpr std::size_t index_trailer_size(HashFormat format) { return 2 * id_size(format); }

// The hash formats a version-3 index names (dulwich's OBJECT_FORMAT_TYPE_NUMS).
constexpr std::uint32_t kSha1Format = 1;
constexpr std::uint32_t kSha256Format = 2;

// The most zlib is handed at once (its counters are 32-bit).
constexpr std::size_t kZlibChunk = std::size_t{1} << 30;

}  // namespace

PackIndex::Load PackIndex::load(std::shared_ptr<const MappedFile> file, HashFormat format,
                                std::unique_ptr<PackIndex>& index, const char*& refusal) {
  auto declined = [&refusal](const char* reason) {
    refusal = reason;
    return Load::Declined;
  };
  const std::uint8_t* data = file->data();
  const std::uint64_t size = file->size();
  auto made = std::unique_ptr<PackIndex>(new PackIndex());
  made->format_ = format;
  if (size >= 4 && std::memcmp(data, kIndexMagic, 4) == 0) {
    if (size < kV2Header) return declined("pack index: shorter than its header");
    const std::uint32_t version = read_be32(data + 4);
    std::size_t header = kV2Header;
    if (version == 3) {
      // dulwich looks the hash format up first: one it does not know is a
      // KeyError, one other than the repository's fails its assertion.
      if (size < kV2Header + 4) return declined("pack index: shorter than its header");
      const std::uint32_t named = read_be32(data + kV2Header);
      if (named != kSha1Format && named != kSha256Format) return Load::Skipped;
      if (named != (format == HashFormat::Sha1 ? kSha1Format : kSha256Format)) {
        return declined("pack index version 3 of the other object format");
      }
      header = kV3Header;
      if (size < header) return declined("pack index: shorter than its header");
      made->version_3_ = true;
    } else if (version != 2) {
      return Load::Skipped;
    }
    if (size < header + kFanoutSize) return declined("pack index: shorter than its fanout");
    made->fanout_offset_ = header;
    made->names_offset_ = header + kFanoutSize;
  } else {
    // dulwich's version-1 index is for SHA-1 only (an assertion).
    if (size < kFanoutSize) return declined("pack index version 1: shorter than its fanout");
    if (format != HashFormat::Sha1) return declined("pack index version 1 in a SHA-256 repository");
    made->interleaved_ = true;
    made->fanout_offset_ = 0;
    made->names_offset_ = kV1Ids;
  }
  made->file_ = std::move(file);
  made->count_ = made->fanout(255);
  const std::uint64_t n = made->count_;
  const std::uint64_t minimum = made->interleaved_ ? kFanoutSize + n * v1_entry_size(format)
                                                   : made->names_offset_ + n * table_bytes_per_object(format);
  if (size < minimum) return declined("pack index: shorter than its object count needs");
  index = std::move(made);
  return Load::Usable;
}

namespace {

struct Match {
  FileIdentity index, pack;
  friend bool operator==(const Match&, const Match&) = default;
};

struct MatchHash {
  std::size_t operator()(const Match& match) const noexcept {
    std::uint64_t mixed = 0;
    for (const FileIdentity* file : {&match.index, &match.pack}) {
      for (const std::uint64_t part :
           {file->device, file->inode, file->size, static_cast<std::uint64_t>(file->mtime_ns),
            static_cast<std::uint64_t>(file->ctime_ns)}) {
        mixed = (mixed ^ part) * 0x9E3779B97F4A7C15ull;
      }
    }
    return static_cast<std::size_t>(mixed ^ (mixed >> 32));
  }
};

constexpr std::size_t kMatchesKept = 4096;

struct Matches {
  std::mutex lock;
  std::unordered_set<Match, MatchHash> pairs;
};

Matches& matches() {
  static Matches* kept = new Matches;  // never destroyed: stores may outlive static teardown
  return *kept;
}

}  // namespace

bool known_to_match(const FileIdentity& index, const FileIdentity& pack) {
  Matches& kept = matches();
  std::lock_guard<std::mutex> hold(kept.lock);
  return kept.pairs.count(Match{index, pack}) != 0;
}

void remember_match(const FileIdentity& index, const FileIdentity& pack) {
  Matches& kept = matches();
  std::lock_guard<std::mutex> hold(kept.lock);
  if (kept.pairs.size() >= kMatchesKept) kept.pairs.clear();
  kept.pairs.insert(Match{index, pack});
}

namespace {

// memcmp(a, b, size) of two ids of 20 or 32 bytes, eight bytes at a time.
int compare_ids(const std::uint8_t* a, const std::uint8_t* b, std::size_t size) {
  std::size_t at = 0;
  for (; at + 8 <= size; at += 8) {
    const std::uint64_t left = read_be64(a + at);
    const std::uint64_t right = read_be64(b + at);
    if (left != right) return left < right ? -1 : 1;
  }
  if (at == size) return 0;
  const std::uint32_t left = read_be32(a + at);
  const std::uint32_t right = read_be32(b + at);
  return left == right ? 0 : (left < right ? -1 : 1);
}

}  // namespace

std::uint32_t PackIndex::fanout(std::size_t i) const {
  // The mapping may have shrunk since it was loaded: a value past the end
  // reads as an empty table, which finds nothing.
  const std::uint64_t at = fanout_offset_ + 4 * i;
  if (at + 4 > file_->size()) return 0;
  return read_be32(file_->data() + at);
}

Outcome PackIndex::pack_checksum(ObjectId& checksum) const {
  // dulwich takes a version-3 index's record as the twenty bytes before the
  // last twenty, whatever the format: of a SHA-256 one, that never equals the
  // pack's 32-byte trailer, and dulwich refuses the pack.
  if (version_3_ && format_ != HashFormat::Sha1) {
    return Outcome::declined("pack index version 3 of SHA-256: dulwich reads its pack checksum as SHA-1's");
  }
  const std::size_t trailer = index_trailer_size(format_);
  if (file_->size() < trailer) return Outcome::declined("pack index: shorter than its trailer");
  checksum = ObjectId::from_raw(file_->data() + file_->size() - trailer, format_);
  return Outcome::Found;
}

Outcome PackIndex::find(const ObjectId& id, std::uint64_t& offset) const {
  const std::uint8_t* data = file_->data();
  const std::uint64_t size = file_->size();
  const std::uint8_t first = id.bytes[0];
  std::int64_t start = first == 0 ? 0 : fanout(first - 1);
  std::int64_t end = fanout(first);
  // dulwich's bisection takes 32-bit signed bounds, raises when start > end,
  // and computes its midpoint in 32 bits: past that it reads elsewhere.
  if (start > static_cast<std::int64_t>(kInt32Max) || end > static_cast<std::int64_t>(kInt32Max)) {
    return Outcome::declined("pack index: fanout past 31 bits");
  }
  if (start > end) return Outcome::declined("pack index: fanout not monotonic");
  // An id of another format is never in this index.
  if (id.format != format_) return Outcome::declined("pack index: id of the other object format");
  const std::size_t id_bytes = id_size(format_);
  const std::uint64_t stride = interleaved_ ? v1_entry_size(format_) : id_bytes;
  while (start <= end) {
    if (start + end > static_cast<std::int64_t>(kInt32Max))
      return Outcome::declined("pack index: bisection past 31 bits");
    const std::int64_t i = (start + end) / 2;
    const std::uint64_t at = names_offset_ + static_cast<std::uint64_t>(i) * stride;
    // A name cut short by the end of the file makes dulwich raise.
    if (at + id_bytes > size) return Outcome::declined("pack index: id past the end of the file");
    const int order = compare_ids(data + at, id.bytes.data(), id_bytes);
    if (order < 0) {
      start = i + 1;
    } else if (order > 0) {
      end = i - 1;
    } else {
      if (interleaved_) {
        offset = read_be32(data + at - kOffsetSize);
        return Outcome::Found;
      }
      const std::uint64_t offsets = names_offset_ + std::uint64_t{count_} * (id_bytes + kCrcSize);
      const std::uint64_t small = offsets + static_cast<std::uint64_t>(i) * kOffsetSize;
      if (small + kOffsetSize > size) return Outcome::declined("pack index: offset past the end of the file");
      const std::uint32_t value = read_be32(data + small);
      if ((value & 0x80000000u) == 0) {
        offset = value;
        return Outcome::Found;
      }
      const std::uint64_t large_offsets = names_offset_ + std::uint64_t{count_} * table_bytes_per_object(format_);
      const std::uint64_t large = large_offsets + std::uint64_t{value & 0x7fffffffu} * kLargeOffsetSize;
      if (large + kLargeOffsetSize > size)
        return Outcome::declined("pack index: large offset past the end of the file");
      offset = read_be64(data + large);
      return Outcome::Found;
    }
  }
  return Outcome::Missing;
}

bool parse_pack_entry(const std::uint8_t* pack, std::size_t size, HashFormat format, std::uint64_t offset,
                      PackEntry& entry) {
  // Entries lie between the header and the trailer.
  const std::size_t trailer = pack_trailer_size(format);
  if (size < kPackHeaderSize + trailer || offset < kPackHeaderSize || offset >= size - trailer) return false;
  const std::uint64_t end = size - trailer;
  std::uint64_t at = offset;
  std::uint8_t byte = pack[at++];
  const int kind = (byte >> 4) & 7;
  std::uint64_t value = byte & 15;
  int shift = 4;
  while (byte & 0x80) {
    if (at >= end || shift > 57) return false;
    byte = pack[at++];
    value |= std::uint64_t{byte & 0x7fu} << shift;
    shift += 7;
  }
  if (kind == 0 || kind == 5) return false;
  entry.kind = static_cast<EntryKind>(kind);
  entry.size = value;
  if (entry.kind == EntryKind::OffsetDelta) {
    if (at >= end) return false;
    byte = pack[at++];
    std::uint64_t distance = byte & 0x7f;
    while (byte & 0x80) {
      if (at >= end || distance > (UINT64_MAX >> 7) - 1) return false;
      byte = pack[at++];
      distance = ((distance + 1) << 7) | (byte & 0x7f);
    }
    // Distance 0 names the entry itself; dulwich rejects it, and a base
    // inside the header makes it fail an assertion.
    if (distance == 0 || distance > offset || offset - distance < kPackHeaderSize) return false;
    entry.base = offset - distance;
  } else if (entry.kind == EntryKind::ReferenceDelta) {
    if (end - at < id_size(format)) return false;
    entry.base_id = pack + at;
    at += id_size(format);
  }
  if (at >= end) return false;
  entry.data = at;
  return inflatable(entry.size, end - at);
}

Inflater::Inflater() { ready_ = inflateInit(&stream_) == Z_OK; }

Inflater::~Inflater() {
  if (ready_) inflateEnd(&stream_);
}

void Inflater::feed(const std::uint8_t* in, std::size_t in_size, std::size_t& in_left) {
  if (stream_.avail_in != 0 || in_left == 0) return;
  const std::size_t take = in_left < kZlibChunk ? in_left : kZlibChunk;
  stream_.next_in = const_cast<Bytef*>(in + (in_size - in_left));
  stream_.avail_in = static_cast<uInt>(take);
  in_left -= take;
}

bool Inflater::inflate_exact(const std::uint8_t* in, std::size_t in_size, std::uint8_t* out, std::size_t out_size) {
  if (!ready_ || inflateReset(&stream_) != Z_OK) return false;
  std::size_t in_left = in_size;
  std::size_t out_left = out_size + kInflateSlack;
  std::uint8_t* out_at = out;
  stream_.avail_in = 0;
  stream_.avail_out = 0;
  for (;;) {
    feed(in, in_size, in_left);
    if (stream_.avail_out == 0 && out_left != 0) {
      const std::size_t take = out_left < kZlibChunk ? out_left : kZlibChunk;
      stream_.next_out = out_at;
      stream_.avail_out = static_cast<uInt>(take);
      out_at += take;
      out_left -= take;
    }
    const int status = inflate(&stream_, Z_NO_FLUSH);
    if (status == Z_STREAM_END) break;
    if (status == Z_OK) continue;
    if (status == Z_BUF_ERROR &&
        ((stream_.avail_in == 0 && in_left != 0) || (stream_.avail_out == 0 && out_left != 0))) {
      continue;
    }
    return false;
  }
  const std::size_t produced = static_cast<std::size_t>(stream_.next_out - out);
  return produced == out_size;
}

bool Inflater::inflate_all(const std::uint8_t* in, std::size_t in_size, Buffer& out, std::uint64_t limit,
                           std::size_t& consumed) {
  if (!ready_ || inflateReset(&stream_) != Z_OK) return false;
  out.resize(0);
  std::size_t in_left = in_size;
  stream_.avail_in = 0;
  stream_.avail_out = 0;
  std::size_t produced = 0;
  for (;;) {
    feed(in, in_size, in_left);
    if (stream_.avail_out == 0) {
      if (produced > limit) return false;
      std::size_t room = produced < 4096 ? 4096 : produced;  // at least kInflateSlack
      if (room > kZlibChunk) room = kZlibChunk;
      out.resize(produced + room);
      stream_.next_out = out.data() + produced;
      stream_.avail_out = static_cast<uInt>(room);
    }
    std::uint8_t* before = stream_.next_out;
    const int status = inflate(&stream_, Z_NO_FLUSH);
    produced += static_cast<std::size_t>(stream_.next_out - before);
    if (status == Z_STREAM_END) break;
    if (status == Z_OK) continue;
    if (status == Z_BUF_ERROR && ((stream_.avail_in == 0 && in_left != 0) || stream_.avail_out == 0)) continue;
    return false;
  }
  if (produced > limit) return false;
  out.resize(produced);
  consumed = in_size - in_left - stream_.avail_in;
  return true;
}

namespace {

bool read_size(const std::uint8_t* delta, std::size_t size, std::size_t& at, std::uint64_t& value) {
  value = 0;
  int shift = 0;
  for (;;) {
    if (at >= size || shift > 63) return false;
    const std::uint8_t byte = delta[at++];
    const std::uint64_t bits = byte & 0x7fu;
    if (shift > 57 && (bits >> (64 - shift)) != 0) return false;
    value |= bits << shift;
    shift += 7;
    if (!(byte & 0x80)) return true;
  }
}

}  // namespace

bool read_delta_sizes(const std::uint8_t* delta, std::size_t size, std::uint64_t& base_size, std::uint64_t& result_size,
                      std::size_t& ops) {
  std::size_t at = 0;
  if (!read_size(delta, size, at, base_size) || !read_size(delta, size, at, result_size)) return false;
  ops = at;
  return true;
}

bool apply_delta(const std::uint8_t* base, std::size_t base_size, const std::uint8_t* delta, std::size_t delta_size,
                 Buffer& result) {
  std::uint64_t declared_base = 0, declared_result = 0;
  std::size_t start = 0;
  if (!read_delta_sizes(delta, delta_size, declared_base, declared_result, start)) return false;
  if (declared_base != base_size || declared_result > kMaxObjectSize) return false;
  // First pass: check every instruction and add up what they produce, so the
  // result is allocated once, at a size the delta really yields.
  std::uint64_t total = 0;
  for (std::size_t at = start; at < delta_size;) {
    const std::uint8_t op = delta[at++];
    if (op & 0x80) {
      std::uint64_t offset = 0, length = 0;
      for (int i = 0; i < 4; ++i) {
        if (op & (1 << i)) {
          if (at >= delta_size) return false;
          offset |= std::uint64_t{delta[at++]} << (8 * i);
        }
      }
      for (int i = 0; i < 3; ++i) {
        if (op & (0x10 << i)) {
          if (at >= delta_size) return false;
          length |= std::uint64_t{delta[at++]} << (8 * i);
        }
      }
      if (length == 0) length = 0x10000;
      if (offset + length > base_size) return false;
      total += length;
    } else if (op != 0) {
      if (op > delta_size - at) return false;
      at += op;
      total += op;
    } else {
      return false;  // reserved
    }
    if (total > declared_result) return false;
  }
  if (total != declared_result) return false;
  result.resize(static_cast<std::size_t>(declared_result));
  std::uint8_t* out = result.data();
  for (std::size_t at = start; at < delta_size;) {
    const std::uint8_t op = delta[at++];
    if (op & 0x80) {
      std::size_t offset = 0, length = 0;
      for (int i = 0; i < 4; ++i) {
        if (op & (1 << i)) offset |= std::size_t{delta[at++]} << (8 * i);
      }
      for (int i = 0; i < 3; ++i) {
        if (op & (0x10 << i)) length |= std::size_t{delta[at++]} << (8 * i);
      }
      if (length == 0) length = 0x10000;
      std::memcpy(out, base + offset, length);
      out += length;
    } else {
      std::memcpy(out, delta + at, op);
      at += op;
      out += op;
    }
  }
  return true;
}

}  // namespace store
