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

// Bytes in a raw object id (SHA-1), and its hexadecimal digits. Every size
// and offset the formats derive from the id is written in terms of these.
inline constexpr std::size_t kIdSize = 20;
inline constexpr std::size_t kHexSize = 2 * kIdSize;

// A SHA-1 object id: its raw bytes.
struct ObjectId {
  std::array<std::uint8_t, kIdSize> bytes{};

  friend bool operator==(const ObjectId&, const ObjectId&) = default;
  friend bool operator<(const ObjectId& a, const ObjectId& b) {
    return std::memcmp(a.bytes.data(), b.bytes.data(), kIdSize) < 0;
  }
  const std::uint8_t* data() const { return bytes.data(); }

  static ObjectId from_raw(const std::uint8_t* raw) {
    ObjectId id;
    std::memcpy(id.bytes.data(), raw, kIdSize);
    return id;
  }
  // kHexSize lowercase hexadecimal digits.
  std::string hex() const;
  void hex_into(char* out) const;
  // Accepts exactly kHexSize hexadecimal digits (either case).
  static std::optional<ObjectId> from_hex(std::string_view text);
};

// Whether `digits` are kHexSize lowercase hexadecimal digits: an id in the
// one form git writes it and the store reads it.
bool is_hex_id(std::string_view digits);

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
