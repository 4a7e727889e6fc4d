// Counting a branch's commits: git's own count first, the library walk when
// git gives no usable answer.
#include <algorithm>

#include "core/git.h"
#include "history/base_branch.h"
#include "history/history.h"
#include "history/id_text.h"
#include "history/native.h"
#include "history/walk.h"

namespace history {

namespace {

namespace git = core::git;

// The stripped output of a run that succeeded with something to say; null
// otherwise.
Ref usable_output(const git::Result& result) {
  if (!result.ok()) return Ref();
  Ref output = strip_output(result.stdout_().get());
  return host::truthy(output.get()) ? std::move(output) : Ref();
}

// int(output) of a usable run; null when the run is not usable or its
// output is not a number.
Ref usable_count(const git::Result& result) {
  Ref output = usable_output(result);
  if (!output) return Ref();
  try {
    return Ref::check(PyNumber_Long(output.get()));
  } catch (const host::Error&) {
    host::except({PyExc_ValueError});
    return Ref();
  }
}

// git's answer: every commit of a base branch, or a branch's commits since
// its merge base with main. Null when git gives no usable answer.
Ref count_with_git(const git::Runner& git_runner, PyObject* branch, const BranchBase& branch_base) {
  auto run = [&](const git::Command& command) { return git_runner.run(command, git::Limit::CommitCount); };
  if (branch_base.branch_is_base()) return usable_count(run(git::Command{"rev-list", "--count"}.value(branch)));
  Ref base_name = host::text(kCountingMergeBase);
  Ref merge_base = usable_output(run(git::Command{"merge-base"}.value(base_name.get()).value(branch)));
  if (!merge_base) return Ref();
  Ref separator = host::text("..");
  Ref range = host::concat({host::format(merge_base.get()).get(), separator.get(), host::format(branch).get()});
  return usable_count(run(git::Command{"rev-list", "--count"}.value(range.get())));
}

// The id that `self.repo.refs[name]` gives, when it is the hexadecimal digits
// git takes on a command line (40, or 64 in a SHA-256 repository); null for
// anything else.
Ref command_line_id(PyObject* id, IdFormat& format) {
  std::optional<std::string_view> digits = id_text_content(id, format);
  if (!digits || !std::all_of(digits->begin(), digits->end(), core::is_hex_digit)) return Ref();
  return host::text(*digits);
}

// git's count of what the walk counts: the commits reachable from the head
// and not from the base's head, named by their ids so that no caller text
// reaches the command line. Null when git gives no usable answer.
Ref count_set_with_git(Service& self, const git::Runner& git_runner, PyObject* head_sha, const BaseBranch& base) {
  IdFormat format(self);
  Ref head = command_line_id(head_sha, format);
  if (!head) return Ref();
  git::Command command{"rev-list", "--count"};
  command.word(std::move(head));
  if (base) {
    Ref base_id = command_line_id(base.head.get(), format);
    if (!base_id) return Ref();
    command.word(host::concat({host::text("^").get(), base_id.get()}));
  }
  try {
    Ref count = usable_count(git_runner.run(command, git::Limit::CommitCount));
    if (count && host::check(PyObject_RichCompareBool(count.get(), host::integer(0).get(), Py_GE)) != 0) {
      return count;
    }
  } catch (const host::Error&) {
    host::except_exception();
  }
  return Ref();
}

// The count as the store would walk it: the head and the base's head (when
// there is a base); nothing when either is not in the form the store reads.
std::optional<CountPlan> count_plan(PyObject* head_sha, const BaseBranch& base, store::HashFormat format) {
  const std::optional<ObjectId> head = core::hex_object_id(head_sha, format);
  if (!head) return std::nullopt;
  if (!base) return CountPlan{*head, std::nullopt};
  const std::optional<ObjectId> base_head = core::hex_object_id(base.head.get(), format);
  if (!base_head) return std::nullopt;
  return CountPlan{*head, base_head};
}

// Counts by walking: every commit reachable from the branch, less (for
// branches other than the base branches) every commit of its base branch.
Ref count_by_walking(Service& self, BranchBase& branch_base, PyObject* head_sha) {
  const BaseBranch& base = branch_base.base();
  if (const auto road = walk_road(self)) {
    if (const std::optional<CountPlan> plan = count_plan(head_sha, base, road->format)) {
      if (const std::optional<long long> count = count_walk(*road, *plan)) return host::integer(*count);
    }
  }
  const bool hides_base = !branch_base.branch_is_base();
  HostIdTextSet base_ids;
  IdFormat format(self);
  branch_base.collect_ids(-1, walked_id_text, format, base_ids);
  long long count = 0;
  WalkItems items = walk_from(self, head_sha, -1);
  Ref id;
  Ref commit;
  while (items.next(id, commit)) {
    if (auto content = id_text_content(id.get(), format)) {
      if (hides_base && base_ids.contains_content(*content)) continue;
    } else {
      Ref text = walked_id_text(id.get(), format);
      if (hides_base && base_ids.contains(text.get())) continue;
    }
    ++count;
  }
  return host::integer(count);
}

}  // namespace

Ref count_commits(Service& self, PyObject* branch) {
  const git::Runner git_runner(self);
  BranchBase branch_base(self, branch);
  bool git_runs = true;
  try {
    if (Ref count = count_with_git(git_runner, branch, branch_base)) return count;
  } catch (const host::Error&) {
    // git missing, a timeout, a branch git cannot take: the walk answers,
    // without asking git again.
    host::except_exception();
    git_runs = false;
  }
  Ref head_sha = read_ref(self, ref_name("refs/heads/", branch).get());
  const BaseBranch& base = branch_base.base();
  // A base other than main (or no merge base with it): git still counts the
  // walk's own set far faster than the walk.
  if (git_runs) {
    if (Ref count = count_set_with_git(self, git_runner, head_sha.get(), base)) return count;
  }
  return count_by_walking(self, branch_base, head_sha.get());
}

}  // namespace history
