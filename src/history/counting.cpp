// Counting a branch's commits: git's own count first, the library walk when
// git gives no usable answer.
#include "history/branches.h"
#include "history/history.h"
#include "history/id_text.h"
#include "history/walk.h"
#include "module/git.h"

namespace history {

namespace {

namespace git = module::git;

constexpr int kGitTimeout = 10;

// The stripped output of a run that succeeded with something to say; null
// otherwise.
Ref usable_output(const git::Result& result) {
  if (!result.ok()) return Ref();
  Ref output = strip_output(result.stdout_().get());
  return host::truthy(output.get()) ? std::move(output) : Ref();
}

// int(output) of a usable run; null when the run is not usable.
Ref usable_count(const git::Result& result) {
  Ref output = usable_output(result);
  return output ? Ref::check(PyNumber_Long(output.get())) : Ref();
}

// git's answer: every commit of a base branch, or a branch's commits since
// its merge base with main. Null when git gives no usable answer.
Ref count_with_git(Service& self, PyObject* subprocess, PyObject* branch) {
  auto run = [&](const git::Command& command) {
    Ref cwd = self.cwd();
    return git::run(subprocess, command, {kGitTimeout, cwd.get()});
  };
  if (is_base_branch(branch)) return usable_count(run(git::Command{"rev-list", "--count"}.value(branch)));
  Ref merge_base = usable_output(run(git::Command{"merge-base", "main"}.value(branch)));
  if (!merge_base) return Ref();
  Ref separator = host::text("..");
  Ref range = host::concat({host::format(merge_base.get()).get(), separator.get(), host::format(branch).get()});
  return usable_count(run(git::Command{"rev-list", "--count"}.value(range.get())));
}

// Counts by walking: every commit reachable from the branch, less (for
// branches other than the base branches) every commit of its base branch.
Ref count_by_walking(Service& self, PyObject* branch) {
  Ref head_sha = read_ref(self, ref_name("refs/heads/", branch).get());
  const bool hides_base = !is_base_branch(branch);
  IdTextSet base_ids;
  if (hides_base) collect_base_branch_ids(self, branch, -1, walked_id_text, base_ids);
  long long count = 0;
  WalkItems items = walk_from(self, head_sha.get(), -1);
  Ref id;
  Ref commit;
  while (items.next(id, commit)) {
    if (auto content = id_text_content(id.get())) {
      if (hides_base && base_ids.contains_content(*content)) continue;
    } else {
      Ref text = walked_id_text(id.get());
      if (hides_base && base_ids.contains(text.get())) continue;
    }
    ++count;
  }
  return host::integer(count);
}

}  // namespace

Ref count_commits(Service& self, PyObject* branch) {
  Ref subprocess = host::import("subprocess");
  try {
    if (Ref count = count_with_git(self, subprocess.get(), branch)) return count;
  } catch (const host::Error&) {
    // git missing, a timeout, a branch git cannot take: the walk answers.
    host::except_exception();
  }
  return count_by_walking(self, branch);
}

}  // namespace history
