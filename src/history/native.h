// The history pane's walks over the native object store. Each runs without
// the GIL and either answers for its whole walk or declines (nullopt), and
// the caller then walks through self._iter_commits_optimized as always.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "core/native_road.h"
#include "store/object_id.h"

namespace history {

using store::ObjectId;

// The object database when walks through self._iter_commits_optimized may be
// taken natively, the methods in `siblings` (which the caller also reaches
// through self) being the class's own too.
std::optional<core::ObjectDatabase> walk_road(core::Service& self,
                                              std::initializer_list<const host::Interned*> siblings = {});

// The ids of the first `limit` commits (negative: all) of the walk from `head`.
std::optional<std::vector<ObjectId>> walked_ids(const core::ObjectDatabase& database, const ObjectId& head, int limit);

// What a count walks: the commits the walk from `head` has that the walk from
// `base` (when given) does not, every one of them.
struct CountPlan {
  ObjectId head;
  std::optional<ObjectId> base;
};
std::optional<long long> count_walk(const core::ObjectDatabase& database, const CountPlan& plan);

// The merge-base walk (MergeBaseRule, history/walk_rules.h) from the heads
// of `base` and `branch`.
struct MergeBasePlan {
  ObjectId base;
  ObjectId branch;
};

// What the merge-base walk found: the commit the two histories have in
// common, or none.
struct CommonCommit {
  std::optional<ObjectId> id;
};
std::optional<CommonCommit> first_common_commit(const core::ObjectDatabase& database, const MergeBasePlan& plan);

// One commit of the listing, with the fields its record is made of.
struct ListedCommit {
  ObjectId id;
  std::string summary;  // the message up to its first line feed
  std::string author;
  std::int64_t commit_time;
};

// What the listing's walk shows (ListingRule, history/walk_rules.h): the
// walk from `head`, ending before `stop_at`, passing over the `hidden_limit`
// nearest commits of `hidden_base`, skipping the first `skip` commits shown
// and ending once `max_count` are listed (at least one).
struct ListingPlan {
  ObjectId head;
  std::optional<ObjectId> stop_at;
  std::optional<ObjectId> hidden_base;
  int hidden_limit = 0;
  int max_count = 0;
  int skip = 0;
};
std::optional<std::vector<ListedCommit>> listed_commits(const core::ObjectDatabase& database, const ListingPlan& plan);

}  // namespace history
