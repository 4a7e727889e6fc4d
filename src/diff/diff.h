// Diffs and stashes: a commit's patch, the tree lookup, the stash list and a
// stash's patch and summary.
#pragma once

#include "core/service.h"

namespace diff {

using core::Service;
using host::Ref;

Ref get_commit_diff(Service& self, PyObject* sha_hex);
Ref find_in_tree(Service& self, PyObject* tree, PyObject* path_parts);
Ref list_stashes(Service& self);
Ref get_stash_diff(Service& self, int stash_index);

}  // namespace diff
