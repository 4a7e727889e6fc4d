// Hashing in a repository's object format: object ids, and the checksums
// that end its index file, commit-graph and packs.
#pragma once

#include <cstddef>
#include <string_view>
#include <variant>

#include "store/object_id.h"
#include "store/sha1.h"
#include "store/sha256.h"

namespace store {

// SHA-1 or SHA-256, as the format says, each with the processor's SHA
// instructions where it has them.
class Hasher {
 public:
  explicit Hasher(HashFormat format);
  void update(const void* data, std::size_t size);
  void update(std::string_view text) { update(text.data(), text.size()); }
  // The digest as an id of the format; the object must not be updated
  // afterwards.
  ObjectId finish();

 private:
  std::variant<Sha1, Sha256> engine_;
};

// The id of an object: the hash of "<type> <size>\0" followed by the content.
ObjectId object_id(HashFormat format, ObjectType type, const void* content, std::size_t size);

}  // namespace store
