#include "history/native.h"

#include <algorithm>

#include "history/walk_rules.h"
#include "store/commit_walk.h"

namespace history {

namespace {

using store::CommitRef;
using store::CommitWalk;
using store::Step;

}  // namespace

std::optional<core::ObjectDatabase> walk_road(core::Service& self,
                                              std::initializer_list<const host::Interned*> siblings) {
  static const host::Interned iter_commits{"_iter_commits_optimized"};
  if (!core::own_method(self, iter_commits)) return std::nullopt;
  return core::native_road(self, siblings);
}

std::optional<std::vector<ObjectId>> walked_ids(const core::ObjectDatabase& database, const ObjectId& head, int limit) {
  return core::without_gil([&]() -> std::optional<std::vector<ObjectId>> {
    core::NativeStore native(database);
    store::ObjectStore& objects = native.get();
    if (limit >= 0) objects.skip_commit_graph();
    CommitWalk walk(objects, head, limit, CommitWalk::Reads::Parents);
    std::vector<ObjectId> ids;
    CommitRef commit;
    Step step;
    while ((step = walk.next(commit)) == Step::Commit) ids.push_back(commit.id);
    if (step == Step::Declined) return std::nullopt;
    return ids;
  });
}

std::optional<long long> count_walk(const core::ObjectDatabase& database, const CountPlan& plan) {
  return core::without_gil([&]() -> std::optional<long long> {
    core::NativeStore native(database);
    store::ObjectStore& objects = native.get();
    return store::count_reachable(objects, plan.head, plan.base);
  });
}

std::optional<CommonCommit> first_common_commit(const core::ObjectDatabase& database, const MergeBasePlan& plan) {
  return core::without_gil([&]() -> std::optional<CommonCommit> {
    core::NativeStore native(database);
    store::ObjectStore& objects = native.get();
    std::optional<store::CommitSet> base_commits = store::reached(objects, plan.base, MergeBaseRule::kBaseLimit);
    if (!base_commits) return std::nullopt;
    CommitWalk walk(objects, plan.branch, MergeBaseRule::kBranchLimit, CommitWalk::Reads::Parents);
    CommitRef commit;
    Step step = Step::End;
    const bool found = MergeBaseRule::first_common([&] { return (step = walk.next(commit)) == Step::Commit; },
                                                   [&] { return base_commits->contains(commit); });
    if (found) return CommonCommit{commit.id};
    if (step == Step::Declined) return std::nullopt;
    return CommonCommit{};
  });
}

std::optional<std::vector<ListedCommit>> listed_commits(const core::ObjectDatabase& database, const ListingPlan& plan) {
  return core::without_gil([&]() -> std::optional<std::vector<ListedCommit>> {
    core::NativeStore native(database);
    store::ObjectStore& objects = native.get();
    // The listing reads every commit it shows, and the hidden set is bounded.
    objects.skip_commit_graph();
    std::optional<store::CommitSet> hidden;
    if (plan.hidden_base) {
      hidden = store::reached(objects, *plan.hidden_base, plan.hidden_limit);
      if (!hidden) return std::nullopt;
    }
    std::vector<ListedCommit> listed;
    ListingRule rule(plan.max_count, plan.skip);
    CommitWalk walk(objects, plan.head, -1, CommitWalk::Reads::Fields);
    CommitRef commit;
    Step step;
    while ((step = walk.next(commit)) == Step::Commit) {
      const auto verdict = rule.judge(plan.stop_at && commit.id == *plan.stop_at, hidden && hidden->contains(commit));
      if (verdict == ListingRule::Verdict::End) break;
      if (verdict == ListingRule::Verdict::Pass) continue;
      const store::Commit& fields = walk.fields();
      // dulwich's road shows "None" for a missing author, raises on a missing
      // time or message, and gives times beyond 64 bits: left to it.
      if (!fields.author || !fields.commit_time || !fields.message) return std::nullopt;
      const std::string_view summary = fields.message->substr(0, fields.message->find('\n'));
      listed.push_back({commit.id, std::string(summary), store::unfolded(*fields.author), *fields.commit_time});
      if (rule.complete(listed.size())) break;
    }
    if (step == Step::Declined) return std::nullopt;
    return listed;
  });
}

}  // namespace history
