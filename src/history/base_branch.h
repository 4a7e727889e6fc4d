// The base branch: "main", else "master" — the branch the history pane hides
// from other branches' lists, counts them against and looks for their merge
// base with. One rule, in one place.
#pragma once

#include <array>
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

// branch in ("main", "master"): the base branches themselves, which hide
// nothing and count their whole history.
bool is_base_branch(PyObject* branch);

// A branch's base: its name and the id `self.repo.refs` gives for it, or
// neither when no base can be read.
struct BaseBranch {
  std::string_view name;
  Ref head;
  explicit operator bool() const { return static_cast<bool>(head); }
};

// The first of "main" and "master", never `branch` itself, whose ref can be
// read; a name whose lookup raises KeyError, AttributeError or TypeError is
// passed over, and any other error raises.
BaseBranch base_of(Service& self, PyObject* branch);

// Builds the base-branch set: the id texts of the first `limit` commits
// (negative: all) of `base`'s history. When `base`'s walk fails with
// KeyError, AttributeError or TypeError, the base names after it (never
// `branch`) are read and walked in turn, keeping the ids already added.
void collect_base_branch_ids(Service& self, PyObject* branch, const BaseBranch& base, int limit, IdTextRule rule,
                             core::IdFormat& format, HostIdTextSet& set);

}  // namespace history
