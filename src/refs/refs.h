// References: local and remote branches, tags, one branch's information and
// the refs that decorate commits.
#pragma once

#include "core/service.h"

namespace refs {

using core::Service;
using host::Ref;

Ref list_branches(Service& self);
Ref list_remote_branches(Service& self);
Ref list_tags(Service& self);
Ref get_branch_info(Service& self, PyObject* branch);
Ref get_commit_refs_from_git_log(Service& self, PyObject* branch, PyObject* commit_shas);
Ref get_commit_refs(Service& self, PyObject* commit_sha);

}  // namespace refs
