// The merge base of a branch and its base branch: git's answer, or the
// bounded walk's when git cannot be run.
#include "core/git.h"
#include "history/base_branch.h"
#include "history/history.h"
#include "history/id_set.h"
#include "history/id_text.h"
#include "history/native.h"
#include "history/walk.h"
#include "history/walk_rules.h"

namespace history {

namespace {

namespace git = core::git;

// Whether self.repo.refs has `name`, a missing ref (or one the library
// cannot take) answering false.
bool has_ref(Service& self, PyObject* name) {
  try {
    read_ref(self, name);
    return true;
  } catch (const host::Error&) {
    host::except_key_attribute_or_type_error();
    return false;
  }
}

// `git merge-base <base> <branch>`, run from the repository root as the
// process's current directory.
Ref merge_base_with_git(Service& self, const git::Runner& git_runner, PyObject* os, PyObject* base_branch,
                        PyObject* branch) {
  Ref root = self.cwd();
  const git::Runner in_root = git_runner.in_current_directory();
  return git::in_directory(os, root.get(), [&] {
    git::Result result =
        in_root.run(git::Command{"merge-base"}.value(base_branch).value(branch), git::Limit::MergeBase);
    if (!result.ok()) return Ref::borrow(Py_None);
    return strip_output(result.stdout_().get());
  });
}

// The merge-base walk as the store would take it; nothing when a head is not
// in the form the store reads.
std::optional<MergeBasePlan> merge_base_plan(PyObject* base_head, PyObject* branch_head, store::HashFormat format) {
  const std::optional<ObjectId> base = core::hex_object_id(base_head, format);
  const std::optional<ObjectId> branch = core::hex_object_id(branch_head, format);
  if (!base || !branch) return std::nullopt;
  return MergeBasePlan{*base, *branch};
}

// The merge-base walk's answer (MergeBaseRule): the first of the branch's
// nearest commits that is among the base branch's nearest commits; None when
// there is none or the walk fails.
Ref merge_base_by_walking(Service& self, PyObject* base_ref, PyObject* branch_ref) {
  try {
    Ref base_head = read_ref(self, base_ref);
    Ref branch_head = read_ref(self, branch_ref);
    if (const auto road = walk_road(self)) {
      if (const std::optional<MergeBasePlan> plan = merge_base_plan(base_head.get(), branch_head.get(), road->format)) {
        if (const std::optional<CommonCommit> common = first_common_commit(*road, *plan)) {
          return common->id ? host::text(common->id->hex()) : Ref::borrow(Py_None);
        }
      }
    }
    HostIdSet base_commits;
    Ref id;
    Ref commit;
    WalkItems base_items = walk_from(self, base_head.get(), MergeBaseRule::kBaseLimit);
    while (base_items.next(id, commit)) base_commits.add(id.get());
    IdFormat format(self);
    WalkItems branch_items = walk_from(self, branch_head.get(), MergeBaseRule::kBranchLimit);
    if (MergeBaseRule::first_common([&] { return branch_items.next(id, commit); },
                                    [&] { return base_commits.contains(id.get()); })) {
      return walked_id_text(id.get(), format);
    }
  } catch (const host::Error&) {
    host::except_exception();
  }
  return Ref::borrow(Py_None);
}

}  // namespace

Ref get_merge_base(Service& self, PyObject* branch, PyObject* base_branch) {
  const git::Runner git_runner(self);
  Ref os = host::import("os");
  if (host::equal(branch, base_branch)) return Ref::borrow(Py_None);
  // Without the default base "main", "master" is the base.
  Ref base = Ref::borrow(base_branch);
  Ref base_ref = ref_name("refs/heads/", base.get());
  if (!has_ref(self, base_ref.get())) {
    if (!equals_text(base.get(), kMain)) return Ref::borrow(Py_None);
    base = host::text(kMaster);
    base_ref = ref_name("refs/heads/", base.get());
    if (!has_ref(self, base_ref.get())) return Ref::borrow(Py_None);
  }
  Ref branch_ref = ref_name("refs/heads/", branch);
  if (!has_ref(self, branch_ref.get())) return Ref::borrow(Py_None);
  try {
    return merge_base_with_git(self, git_runner, os.get(), base.get(), branch);
  } catch (const host::Error&) {
    // git could not be run (missing, too slow, no directory to run it in): an
    // approximate answer from the library is better than none.
    host::except_exception();
  }
  return merge_base_by_walking(self, base_ref.get(), branch_ref.get());
}

}  // namespace history
