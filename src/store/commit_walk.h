// Walking commits breadth-first, in the order the module's walk hands them
// out: the head, then its parents in their stored order, then theirs, each
// commit at its first reach, up to a limit.
//
// A walk that shows commits (Reads::Fields) reads each one and follows the
// parents it parsed. A walk that needs only ids and parents takes them from
// the commit-graph where it holds a commit, once the row was compared with
// the commit it stands for (commit_graph.h), and from the commit object
// otherwise. A commit that `.git/shallow` names has no parents, as in git.
// A walk meets only what dulwich would read the same way: an object the store
// cannot read, one that is not a commit, a commit outside the plain shape, or
// a graph that disagrees with the commits stops it with Declined, and the
// caller then reads the whole walk through dulwich. A file neither may read
// throws FileError (object_store.h), as the store's reads do.
#pragma once

#include <cstdint>
#include <deque>
#include <optional>
#include <vector>

#include "store/graph_position.h"
#include "store/id_set.h"
#include "store/object_store.h"
#include "store/objects.h"

namespace store {

// A commit as walks know it: its id, and its position when the commit-graph
// holds it (then the position alone identifies it). Walks copy it through
// their queues: OptionalPosition keeps it as small as a bare number would.
struct CommitRef {
  ObjectId id;
  OptionalPosition position;
};
static_assert(sizeof(CommitRef) == 40, "a walk's queue copies commits: keep them an id and a number");

// Commits a walk has handed out, for membership tests by a later walk over
// the same store. Positions beyond the graph it was made for are kept by id.
class CommitSet {
 public:
  explicit CommitSet(std::uint32_t graph_size = 0) : positions_((std::size_t{graph_size} + 63) / 64, 0) {}
  // Adds `commit`; true when it was not a member yet.
  bool insert(const CommitRef& commit);
  bool contains(const CommitRef& commit) const;

 private:
  bool by_position(const CommitRef& commit) const {
    return commit.position && commit.position->value() / 64 < positions_.size();
  }

  std::vector<std::uint64_t> positions_;
  IdSet ids_;
};

enum class Step : std::uint8_t { Commit, End, Declined };

class CommitWalk {
 public:
  // Whether each handed-out commit's fields are read (the listing), or only
  // the parents the walk goes on with (sets and counts).
  enum class Reads : std::uint8_t { Parents, Fields };

  // A walk from `head` handing out at most `max_count` commits (negative: no
  // limit).
  CommitWalk(ObjectStore& store, const ObjectId& head, std::int64_t max_count, Reads reads);

  // The next commit, in `commit`; with Fields, `fields()` holds its parsed
  // fields until the next step. The parents of a commit are taken up only
  // when the step after it is asked for, as the module's walk does.
  Step next(CommitRef& commit);
  const Commit& fields() const { return fields_; }

  // Commits in `boundary` are neither handed out nor gone through: the walk
  // keeps to what lies outside it. Set before the first step.
  void stop_at(const CommitSet* boundary) { boundary_ = boundary; }

  // The commits handed out so far.
  const CommitSet& seen() const { return seen_; }
  CommitSet take_seen() { return std::move(seen_); }

 private:
  CommitRef locate(const ObjectId& id) const;
  // Sets parents_ to the parents of `commit` (read and parsed into fields_
  // first when `read` says so); false when the walk must decline.
  bool take_parents(const CommitRef& commit, bool read);
  void locate_parsed_parents(const CommitRef& commit);

  ObjectStore& store_;
  const CommitGraph* graph_;
  const IdSet* shallow_;
  Reads reads_;
  std::int64_t max_count_;
  std::int64_t count_ = 0;
  std::deque<CommitRef> queue_;
  CommitSet seen_;
  const CommitSet* boundary_ = nullptr;
  std::vector<CommitRef> parents_;        // of the commit handed out last
  std::vector<GraphPosition> positions_;  // parents read from the graph
  ObjectType type_ = ObjectType::Commit;
  Buffer content_;
  Commit fields_;
};

// The commits the walk from `head` hands out, at most `max_count` (negative:
// all); nullopt when the walk declined.
std::optional<CommitSet> reached(ObjectStore& store, const ObjectId& head, std::int64_t max_count);

// The number of commits reachable from `head` and not from `base` (all of
// `head`'s history without a base), as walking both histories counts them;
// nullopt when a walk declined. With a commit-graph that holds both heads and
// whose levels agree with its parents, the count paints down from them by
// generation, as git does.
std::optional<std::int64_t> count_reachable(ObjectStore& store, const ObjectId& head,
                                            const std::optional<ObjectId>& base);

// The parents of object `id` as `repo[id].parents` gives them: the commit's
// own (not cut at the shallow boundary), read from the object (one object:
// not worth opening the commit-graph for). Found, with the
// parents (none for an object that is no commit: dulwich finds none on it
// either), or Declined (noted), never Missing: an object the store does not
// have is left to dulwich too.
Outcome read_parents(ObjectStore& store, const ObjectId& id, std::vector<ObjectId>& parents);

// The parents the commit-graph records for `position`, once its row has
// been compared with the commit it stands for (read into `scratch`); false
// when the row reaches outside the graph, disagrees with its commit, or the
// commit cannot be read or parsed: the caller then declines.
bool checked_parents(ObjectStore& store, const CommitGraph& graph, GraphPosition position,
                     std::vector<GraphPosition>& out, Buffer& scratch);

}  // namespace store
