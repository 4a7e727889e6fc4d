// What every pass of the fallback scan shares: the repository, the road its
// objects are read on, the root in the file system's bytes, and the ids the
// passes compare.
//
// Paths are looked up natively by their UTF-8 form (status/file_status.h),
// which has the equality and the code-point order of the host's str: index
// paths (decoded with replacement), the HEAD map's paths and the walk's paths
// (decoded as the host decodes file names) meet exactly when the host's strs
// would be equal.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <utility>

#include "core/ids.h"
#include "core/native_road.h"
#include "core/service.h"
#include "store/object_id.h"

namespace status {

using core::Service;
using host::Ref;

// How far ahead of a pass through many paths their places in a map are fetched.
constexpr std::size_t kLookAhead = 8;

struct ScanContext {
  // Reads what the passes need to know of `self` before they start, in this
  // order: the object road, whether blobs may be hashed natively, the root
  // and how the host decodes file names.
  ScanContext(Service& self, Ref blob_class);

  // os.fsencode(str(self.repo_path)) + "/" + `path`: the file a path below
  // the root names, where the path is in the file system's bytes.
  std::string file_below_root(std::string_view path) const { return root + "/" + std::string(path); }

  Service& self;
  Ref object;  // self, as the host object the passes call methods on
  Ref blob_class;
  // The repository's object format: SHA-256 ids are read from the index and
  // computed for blobs through the library in that format.
  core::IdFormat format{self};
  core::NativeStore objects;
  // Blob ids computed here rather than through dulwich's Blob (while it is
  // dulwich's own class, which gives the same ids).
  bool native_blobs;
  std::string root;  // os.fsencode(str(self.repo_path))
  // File names read from the disk are keyed by their bytes when the host
  // decodes them as UTF-8 (the usual case); otherwise through their text.
  bool fs_utf8;
};

// An object id as the scan compares them: read or hashed natively, or the
// host's own value where the library's road gave it (an index entry's sha,
// a map's value, a Blob's id).
class ScanId {
 public:
  ScanId() = default;
  explicit ScanId(const store::ObjectId& id) : native_(id) {}
  explicit ScanId(Ref id) : host_(std::move(id)) {}

  // self != other, as the host compares the two values.
  bool differs_from(const ScanId& other) const {
    if (native_ && other.native_) return *native_ != *other.native_;
    return host::not_equal(host_value().get(), other.host_value().get());
  }

 private:
  Ref host_value() const { return native_ ? host::bytes(native_->hex()) : host_.copy(); }

  std::optional<store::ObjectId> native_;
  Ref host_;
};

}  // namespace status
