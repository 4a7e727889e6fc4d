// Commit history: the breadth-first walk, the remote-commit set, the commit
// listing, commit counting and the merge base.
#pragma once

#include "core/service.h"

namespace history {

using core::Service;
using host::Ref;

Ref iter_commits_optimized(Service& self, PyObject* head_sha, int max_count);
Ref get_remote_commits(Service& self, PyObject* branch);
Ref list_commits(Service& self, PyObject* branch, int max_count, int skip, PyObject* show_full_history);
Ref count_commits(Service& self, PyObject* branch);
Ref get_merge_base(Service& self, PyObject* branch, PyObject* base_branch);

}  // namespace history
