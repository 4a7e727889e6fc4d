// Trees read through the native object store, for the HEAD file map and the
// fallback scan.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/native_road.h"
#include "store/object_id.h"

namespace status {

// The files of a flattened tree: each file's "/"-joined path (kept in one
// string for all of them) and its id.
struct FlatTree {
  struct Entry {
    std::uint32_t path_offset, path_size;
    store::ObjectId id;
  };
  std::string paths;
  std::vector<Entry> entries;
  std::string_view path(const Entry& entry) const { return {paths.data() + entry.path_offset, entry.path_size}; }
};

// Every file of `tree`, depth first in each tree's order, as the HEAD file
// map lists them; nullopt when the store declines a tree or a path is not
// UTF-8 (the library's pass then answers, or raises where it should).
std::optional<FlatTree> flatten(core::NativeStore& objects, const store::ObjectId& tree);

}  // namespace status
