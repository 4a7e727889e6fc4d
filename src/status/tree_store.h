// Trees read through the native object store, for the HEAD file map and the
// fallback scan.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "core/native_road.h"
#include "store/object_id.h"

namespace status {

// One file of a flattened tree: its "/"-joined path and its id.
struct FlatEntry {
  std::string path;
  store::ObjectId id;
};

// Every file of `tree`, depth first in each tree's order, as the HEAD file
// map lists them; nullopt when the store declines a tree or a path is not
// UTF-8 (the library's pass then answers, or raises where it should).
std::optional<std::vector<FlatEntry>> flatten(core::NativeStore& objects, const store::ObjectId& tree);

}  // namespace status
