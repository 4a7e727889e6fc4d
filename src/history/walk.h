// The breadth-first commit walk: the generator `_iter_commits_optimized`
// returns, and how the other methods iterate whatever that method returns.
#pragma once

#include "core/service.h"
#include "host/host.h"

namespace history {

using core::Service;
using host::Ref;

// A new walk from `head_sha`: a generator object that reads nothing until it
// is asked for its first item.
Ref make_walk(Service& self, PyObject* head_sha, int max_count);

// The items of an iterable of (id, commit) pairs, taken as `for id, commit in
// walk:` takes them. The module's own walk is stepped natively; anything else
// (what a subclass's `_iter_commits_optimized` returns) goes through the
// host's iteration and unpacking.
class WalkItems {
 public:
  explicit WalkItems(Ref walk);
  // Sets the next pair; false when the iteration has ended.
  bool next(Ref& id, Ref& commit);

 private:
  Ref iterator_;
  bool native_;
};

// self._iter_commits_optimized(head, max_count), ready to be iterated.
WalkItems walk_from(Service& self, PyObject* head, int max_count);

}  // namespace history
