// What the history pane reads from the library and from git: a ref's target,
// a git run's stripped output, and walked ids into sets of id texts.
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

// self.repo.refs[name]: the id the ref points at, symbolic refs followed
// (read natively where nobody can tell: core/native_refs.h).
Ref read_ref(Service& self, PyObject* name);

// value == text, for a value that is a str or None.
bool equals_text(PyObject* value, std::string_view text);

// output.strip(): git's output without its surrounding whitespace.
Ref strip_output(PyObject* output);

// An id text rule: walked id -> its id text, in the repository's format.
using IdTextRule = Ref (*)(PyObject* id, core::IdFormat& format);

// set.add(rule(id)), without making the text when it is the id's own bytes.
void add_id_text(HostIdTextSet& set, PyObject* id, IdTextRule rule, core::IdFormat& format);

}  // namespace history
