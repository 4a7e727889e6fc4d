// Reading the caller's branches through the library, shared by the methods
// of the history pane.
#pragma once

#include <string_view>

#include "core/ids.h"
#include "core/service.h"
#include "history/id_set.h"
#include "host/host.h"

namespace history {

using core::ref_name;
using core::Service;
using host::Ref;

// self.repo.refs[name]: the id the ref points at, symbolic refs followed.
Ref read_ref(Service& self, PyObject* name);

// value == text, for a value that is a str or None.
bool equals_text(PyObject* value, std::string_view text);

// branch in ("main", "master"): the base branches themselves.
inline bool is_base_branch(PyObject* branch) { return equals_text(branch, "main") || equals_text(branch, "master"); }

// output.strip(): git's output without its surrounding whitespace.
Ref strip_output(PyObject* output);

// An id text rule: walked id -> its id text.
using IdTextRule = Ref (*)(PyObject* id);

// set.add(rule(id)), without making the text when it is the id's own bytes.
void add_id_text(IdTextSet& set, PyObject* id, IdTextRule rule);

// self.repo.refs of the branch's base: "main", else "master", never the
// branch itself; null when neither can be read (KeyError, AttributeError or
// TypeError), any other error raising.
Ref base_branch_head(Service& self, PyObject* branch);

// Builds the base-branch set: the id texts of the commits of the first of
// "main" and "master" (not `branch` itself) that can be read, walking at most
// `limit` commits (negative: all). A base whose ref lookup or walk fails with
// KeyError, AttributeError or TypeError is passed over, keeping the ids it added.
void collect_base_branch_ids(Service& self, PyObject* branch, int limit, IdTextRule rule, IdTextSet& set);

}  // namespace history
