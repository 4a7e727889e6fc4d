#include "history/native.h"

#include <algorithm>

#include "store/commit_walk.h"

namespace history {

namespace {

using store::CommitRef;
using store::CommitWalk;
using store::Step;

store::ObjectStore open(const core::ObjectDatabase& database) {
  return store::ObjectStore(database.git_dir, database.objects_dir, {database.loose_object_size_limit});
}

// The commits the walk from `head` hands out, up to `limit`; nullopt when
// the walk declined.
std::optional<store::CommitSet> walk_set(store::ObjectStore& objects, const ObjectId& head, int limit) {
  CommitWalk walk(objects, head, limit, CommitWalk::Reads::Parents);
  CommitRef commit;
  Step step;
  while ((step = walk.next(commit)) == Step::Commit) {
  }
  if (step == Step::Declined) return std::nullopt;
  return walk.take_seen();
}

}  // namespace

std::optional<core::ObjectDatabase> walk_road(core::Service& self,
                                              std::initializer_list<const host::Interned*> siblings) {
  static const host::Interned iter_commits{"_iter_commits_optimized"};
  if (!core::own_method(self, iter_commits)) return std::nullopt;
  return core::native_road(self, siblings);
}

std::optional<std::vector<ObjectId>> walked_ids(const core::ObjectDatabase& database, const ObjectId& head, int limit) {
  return host::without_gil([&]() -> std::optional<std::vector<ObjectId>> {
    store::ObjectStore objects = open(database);
    CommitWalk walk(objects, head, limit, CommitWalk::Reads::Parents);
    std::vector<ObjectId> ids;
    CommitRef commit;
    Step step;
    while ((step = walk.next(commit)) == Step::Commit) ids.push_back(commit.id);
    if (step == Step::Declined) return std::nullopt;
    return ids;
  });
}

std::optional<long long> count_walk(const core::ObjectDatabase& database, const ObjectId& head,
                                    const std::optional<ObjectId>& base) {
  return host::without_gil([&]() -> std::optional<long long> {
    store::ObjectStore objects = open(database);
    return store::count_reachable(objects, head, base);
  });
}

std::optional<std::optional<ObjectId>> first_common_commit(const core::ObjectDatabase& database, const ObjectId& base,
                                                           int base_limit, const ObjectId& branch, int branch_limit) {
  return host::without_gil([&]() -> std::optional<std::optional<ObjectId>> {
    store::ObjectStore objects = open(database);
    std::optional<store::CommitSet> base_commits = walk_set(objects, base, base_limit);
    if (!base_commits) return std::nullopt;
    CommitWalk walk(objects, branch, branch_limit, CommitWalk::Reads::Parents);
    CommitRef commit;
    Step step;
    while ((step = walk.next(commit)) == Step::Commit) {
      if (base_commits->contains(commit)) return std::optional<ObjectId>(commit.id);
    }
    if (step == Step::Declined) return std::nullopt;
    return std::optional<ObjectId>();
  });
}

std::optional<std::vector<ListedCommit>> listed_commits(const core::ObjectDatabase& database, const ListingWalk& plan) {
  return host::without_gil([&]() -> std::optional<std::vector<ListedCommit>> {
    store::ObjectStore objects = open(database);
    std::optional<store::CommitSet> hidden;
    if (plan.hidden_base) {
      hidden = walk_set(objects, *plan.hidden_base, plan.hidden_limit);
      if (!hidden) return std::nullopt;
    }
    std::vector<ListedCommit> listed;
    int skipped = 0;
    CommitWalk walk(objects, plan.head, -1, CommitWalk::Reads::Fields);
    CommitRef commit;
    Step step;
    while ((step = walk.next(commit)) == Step::Commit) {
      if (plan.stop_at && commit.id == *plan.stop_at) break;
      if (hidden && hidden->contains(commit)) continue;
      if (skipped < plan.skip) {
        ++skipped;
        continue;
      }
      const store::Commit& fields = walk.fields();
      const std::string_view summary = fields.message.substr(0, fields.message.find('\n'));
      listed.push_back({commit.id, std::string(summary), std::string(fields.author), fields.commit_time});
      if (static_cast<long long>(listed.size()) >= plan.max_count) break;
    }
    if (step == Step::Declined) return std::nullopt;
    return listed;
  });
}

}  // namespace history
