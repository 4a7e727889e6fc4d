// The rules of the history pane's walks, written once for both roads: the
// native walk over the object store (history/native.h) and the walk through
// self._iter_commits_optimized drive the same rule objects, so that the two
// roads cannot come to list or find different commits.
#pragma once

#include <cstddef>
#include <cstdint>

namespace history {

// The listing's rule: the walk ends at the commit it stops before, passes
// over hidden commits, then skips the first `skip` commits it would list
// (commits passed over do not count), and the list is complete once it holds
// `max_count` records: tested after appending, so a limit of 0 or less still
// lets one record in.
class ListingRule {
 public:
  enum class Verdict : std::uint8_t { List, Pass, End };

  ListingRule(int max_count, int skip) : max_count_(max_count), skip_(skip) {}

  // What becomes of the walk's next commit: whether it is the one the walk
  // stops before, and whether it is hidden.
  Verdict judge(bool stops_here, bool hidden) {
    if (stops_here) return Verdict::End;
    if (hidden) return Verdict::Pass;
    if (skipped_ < skip_) {
      ++skipped_;
      return Verdict::Pass;
    }
    return Verdict::List;
  }

  // Whether a list of `listed` records is complete.
  bool complete(std::size_t listed) const { return static_cast<long long>(listed) >= max_count_; }

 private:
  int max_count_;
  int skip_;
  int skipped_ = 0;
};

// The merge-base walk's rule: the first of the branch's nearest
// kBranchLimit commits that is among the base branch's nearest kBaseLimit
// commits. Each road collects the base's commits with a walk limited to
// kBaseLimit and walks the branch with one limited to kBranchLimit.
struct MergeBaseRule {
  static constexpr int kBaseLimit = 1000;
  static constexpr int kBranchLimit = 200;

  // Drives the branch's walk (`next()`: true while it hands out a commit)
  // until the commit just handed out is among the base's (`among_base()`);
  // true when one is, false when the walk ended first.
  template <class Next, class AmongBase>
  static bool first_common(Next&& next, AmongBase&& among_base) {
    while (next()) {
      if (among_base()) return true;
    }
    return false;
  }
};

}  // namespace history
