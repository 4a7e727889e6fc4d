// Objects read lately, kept between stores (and so between calls) under the
// identities of the pack file they came from and of the index that found
// them there. A pack is never changed in place, and one replaced by a fetch
// or gc has another identity: nothing kept here can be read for a file it did
// not come from, nor found through an index that did not find it.
// Bounded in bytes; thread-safe.
#pragma once

#include <cstddef>
#include <cstdint>

#include "store/mapped_file.h"
#include "store/object_id.h"

namespace store {

struct RecentKey {
  FileIdentity pack;
  FileIdentity index;
  ObjectId id;
  friend bool operator==(const RecentKey&, const RecentKey&) = default;
};

// The content of the object `key` names into `content`; false when it is not kept.
bool find_recent(const RecentKey& key, ObjectType& type, Buffer& content);

// Keeps a verified object (small ones only), the least recently used making room.
void keep_recent(const RecentKey& key, ObjectType type, const Buffer& content);

// Forgets every kept object (the tests use it).
void clear_recent();

}  // namespace store
