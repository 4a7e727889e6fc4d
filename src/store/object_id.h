// Object ids, object types and the byte buffer the store reads into.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "platform/buffer.h"

namespace store {

// The hash a repository names its objects by (its object format). Every size
// and offset the formats derive from the id is written in terms of it.
enum class HashFormat : std::uint8_t { Sha1, Sha256 };

// Bytes in a raw object id, and its hexadecimal digits.
inline constexpr std::size_t id_size(HashFormat format) { return format == HashFormat::Sha1 ? 20 : 32; }
inline constexpr std::size_t hex_size(HashFormat format) { return 2 * id_size(format); }
inline constexpr std::size_t kMaxIdSize = 32;

// The format whose ids have `digits` hexadecimal digits (40 or 64).
std::optional<HashFormat> format_of_hex_size(std::size_t digits);

// An object id: its raw bytes, and the hash that made them. A SHA-1 id's
// bytes past its twenty are zero, so ids of one format compare and hash by
// their bytes alone.
struct ObjectId {
  std::array<std::uint8_t, kMaxIdSize> bytes{};
  HashFormat format = HashFormat::Sha1;

  friend bool operator==(const ObjectId&, const ObjectId&) = default;
  friend bool operator<(const ObjectId& a, const ObjectId& b) {
    return std::memcmp(a.bytes.data(), b.bytes.data(), kMaxIdSize) < 0;
  }
  const std::uint8_t* data() const { return bytes.data(); }
  std::size_t size() const { return id_size(format); }

  static ObjectId from_raw(const std::uint8_t* raw, HashFormat format) {
    ObjectId id;
    id.format = format;
    std::memcpy(id.bytes.data(), raw, id_size(format));
    return id;
  }
  // The hexadecimal digits: 40 or 64, lowercase.
  std::string hex() const;
  void hex_into(char* out) const;
  // Accepts exactly 40 or 64 hexadecimal digits (either case): a SHA-1 or a
  // SHA-256 id.
  static std::optional<ObjectId> from_hex(std::string_view text);
  // Accepts exactly the format's hexadecimal digits (either case).
  static std::optional<ObjectId> from_hex(std::string_view text, HashFormat format);
};

// Whether `digits` are the format's lowercase hexadecimal digits: an id in
// the one form git writes it and the store reads it.
bool is_hex_id(std::string_view digits, HashFormat format);

// Whether `digits` are an id in that form of either format (40 or 64
// digits): what a ref holds as dulwich reads it, whatever the repository's
// format.
bool is_any_hex_id(std::string_view digits);

struct ObjectIdHash {
  // Ids are uniformly distributed: their first bytes are a good hash.
  std::size_t operator()(const ObjectId& id) const noexcept {
    std::size_t value;
    std::memcpy(&value, id.bytes.data(), sizeof value);
    return value;
  }
};

// The type numbers git uses in packs.
enum class ObjectType : std::uint8_t { Commit = 1, Tree = 2, Blob = 3, Tag = 4 };

// "commit", "tree", "blob" or "tag".
std::string_view type_name(ObjectType type);

// The byte buffer reads go into.
using platform::Buffer;

// Big-endian integers read from raw bytes (the caller checks the bounds).
inline std::uint32_t read_be32(const std::uint8_t* p) {
  return (std::uint32_t{p[0]} << 24) | (std::uint32_t{p[1]} << 16) | (std::uint32_t{p[2]} << 8) | std::uint32_t{p[3]};
}
inline std::uint64_t read_be64(const std::uint8_t* p) { return (std::uint64_t{read_be32(p)} << 32) | read_be32(p + 4); }

}  // namespace store
