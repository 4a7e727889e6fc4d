// The base branch: "main", else "master" — the branch the history pane hides
// from other branches' lists, counts them against and looks for their merge
// base with. One rule, in one place.
#pragma once

#include <array>
#include <optional>
#include <string_view>

#include "core/service.h"
#include "history/reading.h"

namespace history {

// The names a base branch may have, in the order they are tried.
inline constexpr std::string_view kMain = "main";
inline constexpr std::string_view kMaster = "master";
inline constexpr std::array<std::string_view, 2> kBaseBranchNames = {kMain, kMaster};

// git's merge base for a count is asked of main alone, as the count's first
// step states (a branch whose base is master is then counted through the ids
// of its head and its base's head instead).
inline constexpr std::string_view kCountingMergeBase = kMain;

// A branch's base: its name and the id `self.repo.refs` gives for it, or
// neither when no base can be read.
struct BaseBranch {
  std::string_view name;
  Ref head;
  explicit operator bool() const { return static_cast<bool>(head); }
};

// A call's branch against the base branches, worked out once per call:
// whether the branch is a base branch itself (its name compared once), and
// otherwise its base, read from self.repo.refs when the call first asks.
class BranchBase {
 public:
  BranchBase(Service& self, PyObject* branch);

  // The branch is "main" or "master": it hides nothing and counts its whole history.
  bool branch_is_base() const { return branch_is_base_; }

  // The first of "main" and "master", never the branch itself, whose ref can
  // be read; a name whose lookup raises KeyError, AttributeError or TypeError
  // is passed over, and any other error raises. Empty for a base branch and
  // when no base can be read.
  const BaseBranch& base();

  // Builds the base-branch set: the id texts of the first `limit` commits
  // (negative: all) of the base's history; nothing for a base branch. When
  // the base's walk fails with KeyError, AttributeError or TypeError, the
  // base names after it (never the branch) are read and walked in turn,
  // keeping the ids already added.
  void collect_ids(int limit, IdTextRule rule, core::IdFormat& format, HostIdTextSet& set);

 private:
  Service& self_;
  PyObject* branch_;
  bool branch_is_base_;
  std::optional<BaseBranch> base_;
};

}  // namespace history
