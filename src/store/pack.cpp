#include "store/pack.h"

#include <climits>
#include <cstring>

namespace store {

namespace {

constexpr std::uint8_t kIndexMagic[4] = {0xff, 't', 'O', 'c'};
constexpr std::uint64_t kInt32Max = 0x7fffffff;

// The most zlib is handed at once (its counters are 32-bit).
constexpr std::size_t kZlibChunk = std::size_t{1} << 30;

}  // namespace

PackIndex::Load PackIndex::load(std::shared_ptr<const MappedFile> file, std::unique_ptr<PackIndex>& index) {
  const std::uint8_t* data = file->data();
  const std::uint64_t size = file->size();
  auto made = std::unique_ptr<PackIndex>(new PackIndex());
  if (size >= 4 && std::memcmp(data, kIndexMagic, 4) == 0) {
    if (size < 8) return Load::Fault;
    const std::uint32_t version = read_be32(data + 4);
    // dulwich reads version 3 with its own layout; leave it to dulwich.
    if (version == 3) return Load::Fault;
    if (version != 2) return Load::Skipped;
    if (size < 8 + 1024) return Load::Fault;
    made->version_ = 2;
    made->fanout_offset_ = 8;
  } else {
    if (size < 1024) return Load::Fault;
    made->version_ = 1;
    made->fanout_offset_ = 0;
  }
  made->file_ = std::move(file);
  made->count_ = made->fanout(255);
  const std::uint64_t n = made->count_;
  const std::uint64_t minimum = made->version_ == 2 ? 8 + 1024 + n * 28 : 1024 + n * 24;
  if (size < minimum) return Load::Fault;
  index = std::move(made);
  return Load::Usable;
}

namespace {

// memcmp(a, b, 20) of two ids, eight bytes at a time.
int compare_ids(const std::uint8_t* a, const std::uint8_t* b) {
  for (std::size_t at = 0; at < 16; at += 8) {
    const std::uint64_t left = read_be64(a + at);
    const std::uint64_t right = read_be64(b + at);
    if (left != right) return left < right ? -1 : 1;
  }
  const std::uint32_t left = read_be32(a + 16);
  const std::uint32_t right = read_be32(b + 16);
  return left == right ? 0 : (left < right ? -1 : 1);
}

}  // namespace

PackIndex::Lookup PackIndex::find(const ObjectId& id, std::uint64_t& offset) const {
  const std::uint8_t* data = file_->data();
  const std::uint64_t size = file_->size();
  const std::uint8_t first = id.bytes[0];
  std::int64_t start = first == 0 ? 0 : fanout(first - 1);
  std::int64_t end = fanout(first);
  // dulwich's bisection takes 32-bit signed bounds, raises when start > end,
  // and computes its midpoint in 32 bits: past that it reads elsewhere.
  if (start > static_cast<std::int64_t>(kInt32Max) || end > static_cast<std::int64_t>(kInt32Max)) return Lookup::Fault;
  if (start > end) return Lookup::Fault;
  const std::uint64_t names = version_ == 2 ? 8 + 1024 : 1024 + 4;
  const std::uint64_t stride = version_ == 2 ? 20 : 24;
  while (start <= end) {
    if (start + end > static_cast<std::int64_t>(kInt32Max)) return Lookup::Fault;
    const std::int64_t i = (start + end) / 2;
    const std::uint64_t at = names + static_cast<std::uint64_t>(i) * stride;
    // A name cut short by the end of the file makes dulwich raise.
    if (at + 20 > size) return Lookup::Fault;
    const int order = compare_ids(data + at, id.bytes.data());
    if (order < 0) {
      start = i + 1;
    } else if (order > 0) {
      end = i - 1;
    } else {
      if (version_ == 1) {
        offset = read_be32(data + at - 4);
        return Lookup::Found;
      }
      const std::uint64_t small = 8 + 1024 + std::uint64_t{count_} * 24 + static_cast<std::uint64_t>(i) * 4;
      if (small + 4 > size) return Lookup::Fault;
      const std::uint32_t value = read_be32(data + small);
      if ((value & 0x80000000u) == 0) {
        offset = value;
        return Lookup::Found;
      }
      const std::uint64_t large = 8 + 1024 + std::uint64_t{count_} * 28 + std::uint64_t{value & 0x7fffffffu} * 8;
      if (large + 8 > size) return Lookup::Fault;
      offset = read_be64(data + large);
      return Lookup::Found;
    }
  }
  return Lookup::Absent;
}

bool parse_pack_entry(const std::uint8_t* pack, std::size_t size, std::uint64_t offset, PackEntry& entry) {
  // Entries lie between the 12-byte header and the 20-byte trailer.
  if (size < 32 || offset < 12 || offset >= size - 20) return false;
  const std::uint64_t end = size - 20;
  std::uint64_t at = offset;
  std::uint8_t byte = pack[at++];
  entry.type = (byte >> 4) & 7;
  std::uint64_t value = byte & 15;
  int shift = 4;
  while (byte & 0x80) {
    if (at >= end || shift > 57) return false;
    byte = pack[at++];
    value |= std::uint64_t{byte & 0x7fu} << shift;
    shift += 7;
  }
  if (entry.type == 0 || entry.type == 5) return false;
  entry.size = value;
  if (entry.type == 6) {
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
    if (distance == 0 || distance > offset || offset - distance < 12) return false;
    entry.base = offset - distance;
  } else if (entry.type == 7) {
    if (end - at < 20) return false;
    entry.base_id = pack + at;
    at += 20;
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
