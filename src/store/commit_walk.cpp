#include "store/commit_walk.h"

#include <algorithm>

#include "store/declines.h"

namespace store {

bool CommitSet::insert(const CommitRef& commit) {
  if (!by_position(commit)) return ids_.insert(commit.id);
  std::uint64_t& word = positions_[commit.position->value() / 64];
  const std::uint64_t bit = std::uint64_t{1} << (commit.position->value() % 64);
  const bool added = (word & bit) == 0;
  word |= bit;
  return added;
}

bool CommitSet::contains(const CommitRef& commit) const {
  if (!by_position(commit)) return ids_.contains(commit.id);
  return (positions_[commit.position->value() / 64] >> (commit.position->value() % 64) & 1) != 0;
}

namespace {

// Notes why a walk stops, and says it stops.
bool declines(const char* reason) {
  note_decline(reason);
  return false;
}

// Whether the graph's parent positions name the commit's own parents.
bool same_parents(const CommitGraph& graph, const std::vector<GraphPosition>& positions, const Commit& commit) {
  if (positions.size() != commit.parent_count()) return false;
  for (std::size_t i = 0; i < positions.size(); ++i) {
    ObjectId id;
    if (!graph.id_at(positions[i], id) || id != commit.parent(i)) return false;
  }
  return true;
}

}  // namespace

bool checked_parents(ObjectStore& store, const CommitGraph& graph, GraphPosition position,
                     std::vector<GraphPosition>& out, Buffer& scratch) {
  out.clear();
  if (!graph.parents(position, out)) return declines("commit-graph: a row's parents outside the graph");
  if (graph.checked(position)) return true;
  ObjectId id;
  if (!graph.id_at(position, id)) return declines("commit-graph: a position outside the graph");
  // The graph vouches for nothing the store cannot check: a commit it cannot
  // read or parse makes the walk decline, and dulwich then reads it.
  ObjectType type;
  const Outcome read = store.read(id, type, scratch);
  if (read == Outcome::Declined) return false;  // the store noted why
  if (read == Outcome::Missing) return declines("commit-graph: a row's commit not in the store");
  std::optional<Commit> commit;
  if (type == ObjectType::Commit) {
    commit = parse_commit(scratch.view(), store.format());
    if (!commit) return declines("commit-graph: a row's commit in a shape the store does not parse");
  }
  if (!commit || !same_parents(graph, out, *commit)) {
    graph.mark_disagreeing(position);
    return declines("commit-graph: a row disagrees with its commit");
  }
  graph.mark_checked(position);
  return true;
}

CommitWalk::CommitWalk(ObjectStore& store, const ObjectId& head, std::int64_t max_count, Reads reads)
    : store_(store),
      graph_(store.commit_graph()),
      shallow_(store.shallow_commits()),
      reads_(reads),
      max_count_(max_count),
      seen_(graph_ != nullptr ? graph_->size() : 0) {
  // The listing's pages and the bounded walks (the remote and base sets, the
  // merge-base walk) are asked for again and again: keep what they read.
  // Whole histories are not kept.
  if (reads == Reads::Fields || max_count >= 0) store.keep_reads(true);
  queue_.push_back(locate(head));
}

CommitRef CommitWalk::locate(const ObjectId& id) const {
  if (graph_ == nullptr) return {id, std::nullopt};
  return {id, graph_->find(id)};
}

Step CommitWalk::next(CommitRef& commit) {
  // The shallow file could not be read as dulwich reads it.
  if (shallow_ == nullptr) {
    note_decline("shallow: a file dulwich's get_shallow raises on");
    return Step::Declined;
  }
  queue_.insert(queue_.end(), parents_.begin(), parents_.end());
  parents_.clear();
  while (!queue_.empty() && (max_count_ < 0 || count_ < max_count_)) {
    commit = queue_.front();
    queue_.pop_front();
    if (boundary_ != nullptr && boundary_->contains(commit)) continue;
    if (!seen_.insert(commit)) continue;
    // The module's walk reads every commit it hands out; the graph stands in
    // for that read where only parents are needed.
    if (!take_parents(commit, reads_ == Reads::Fields || !commit.position)) return Step::Declined;
    ++count_;
    return Step::Commit;
  }
  return Step::End;
}

bool CommitWalk::take_parents(const CommitRef& commit, bool read) {
  if (read) {
    const Outcome read = store_.read(commit.id, type_, content_);
    if (read == Outcome::Declined) return false;  // the store noted why
    if (read == Outcome::Missing) return declines("commit: not in the store");
    if (type_ != ObjectType::Commit) return declines("commit: an object of another type");
    std::optional<Commit> parsed = parse_commit(content_.view(), store_.format());
    if (!parsed) return declines("commit: a shape the store does not parse");
    fields_ = *parsed;
  }
  if (shallow_->contains(commit.id)) return true;
  if (read) {
    locate_parsed_parents(commit);
    return true;
  }
  // Not read: the graph holds the commit.
  if (!checked_parents(store_, *graph_, *commit.position, positions_, content_)) return false;
  for (const GraphPosition position : positions_) {
    ObjectId id;
    if (!graph_->id_at(position, id)) return declines("commit-graph: a position outside the graph");
    parents_.push_back({id, position});
  }
  return true;
}

// The parents of a commit the walk read are the ones it parsed. Where the
// graph holds the commit too, its row is compared with them on the way: a
// row that agrees gives their positions at once, and one that disagrees makes
// the graph unusable for the walks that trust it.
void CommitWalk::locate_parsed_parents(const CommitRef& commit) {
  if (commit.position) {
    positions_.clear();
    if (graph_->parents(*commit.position, positions_) && same_parents(*graph_, positions_, fields_)) {
      graph_->mark_checked(*commit.position);
      for (std::size_t i = 0; i < positions_.size(); ++i) parents_.push_back({fields_.parent(i), positions_[i]});
      return;
    }
    graph_->mark_disagreeing(*commit.position);
  }
  for (std::size_t i = 0; i < fields_.parent_count(); ++i) parents_.push_back(locate(fields_.parent(i)));
}

namespace {

// Walks to the end; the commits handed out, or nullopt when the walk declined.
std::optional<std::int64_t> drain(CommitWalk& walk) {
  std::int64_t count = 0;
  CommitRef commit;
  Step step;
  while ((step = walk.next(commit)) == Step::Commit) ++count;
  if (step == Step::Declined) return std::nullopt;
  return count;
}

// Makes every row at or below `starts` closed: each one checked against its
// commit. False when a row reaches outside the graph or disagrees, or rows
// share an octopus list.
//
// The rows are gathered first, through their own parent fields, then compared
// with their commits in the graph's order, which is the ids' order: the pack
// indexes are then searched in order too, each search passing where the last
// one did (in a history's order the searches jump about its indexes, and
// finding the commits took more than reading them). Should a row lie about
// its parents, the set gathered is not the history below the starts; but then
// that row disagrees with its commit, and nothing is closed.
bool close_rows(ObjectStore& store, const CommitGraph& graph, const std::vector<GraphPosition>& starts,
                Buffer& scratch) {
  // Once a process has closed them, a count asks only this.
  if (std::all_of(starts.begin(), starts.end(), [&](GraphPosition start) { return graph.closed(start); })) return true;
  std::vector<GraphPosition> pending;
  std::vector<GraphPosition> below;
  std::vector<std::uint64_t> queued((std::size_t{graph.size()} + 63) / 64, 0);
  // Every position here was found inside the graph: a head or a parent.
  auto enqueue = [&](GraphPosition position) {
    if (graph.closed(position)) return;
    std::uint64_t& word = queued[position.value() / 64];
    const std::uint64_t bit = std::uint64_t{1} << (position.value() % 64);
    if (word & bit) return;
    word |= bit;
    pending.push_back(position);
  };
  for (const GraphPosition position : starts) enqueue(position);
  std::vector<GraphPosition> parents;
  // Each row is gathered once, and git writes each row an octopus list of
  // its own: rows that name more octopus parents than the graph holds share
  // lists, and reading one again for each could take rows x entries.
  std::size_t octopus_parents = 0;
  while (!pending.empty()) {
    const GraphPosition position = pending.back();
    pending.pop_back();
    below.push_back(position);
    parents.clear();
    if (!graph.parents(position, parents)) return declines("commit-graph: a row's parents outside the graph");
    if (parents.size() > 2) octopus_parents += parents.size() - 1;
    if (octopus_parents > graph.octopus_entries()) return declines("commit-graph: rows share an octopus list");
    for (const GraphPosition parent : parents) enqueue(parent);
  }
  std::sort(below.begin(), below.end());
  for (const GraphPosition position : below) {
    if (!checked_parents(store, graph, position, parents, scratch)) return false;
  }
  // Only a whole descent closes its rows: every row below each one is checked.
  for (const GraphPosition position : below) graph.mark_closed(position);
  return true;
}

// The count through the commit-graph alone: commits taken highest generation
// first, each marked as reachable from the base (uninteresting) or not, the
// mark passed on to its parents. A commit's mark is final when it is taken,
// since every commit that can reach it has a higher generation; counting
// stops once only uninteresting commits wait. That holds when the levels
// agree with the parents and every row the count relies on was compared with
// its commit: those taken, and every row below those left waiting. Nothing
// when the graph lacks a head, its levels disagree, or a row disagrees.
std::optional<std::int64_t> count_by_generation(ObjectStore& store, const CommitGraph& graph, const ObjectId& head,
                                                const ObjectId& base) {
  const std::optional<GraphPosition> head_position = graph.find(head);
  const std::optional<GraphPosition> base_position = graph.find(base);
  if (!head_position || !base_position || !graph.levels_agree()) return std::nullopt;
  enum : std::uint8_t { kSeen = 1, kUninteresting = 2 };
  // One per position: every position here was found inside the graph, a
  // head or a parent.
  std::vector<std::uint8_t> marks(graph.size(), 0);
  auto mark = [&marks](GraphPosition position) -> std::uint8_t& { return marks[position.value()]; };
  struct Waiting {
    std::uint32_t generation;
    GraphPosition position;
    bool operator<(const Waiting& other) const { return generation < other.generation; }
  };
  std::vector<Waiting> queue;  // a heap, highest generation on top
  std::int64_t interesting = 0;
  auto push = [&](GraphPosition position, bool uninteresting) {
    mark(position) = kSeen | (uninteresting ? kUninteresting : 0);
    if (!uninteresting) ++interesting;
    queue.push_back({graph.generation(position), position});
    std::push_heap(queue.begin(), queue.end());
  };
  push(*base_position, true);
  if (*head_position != *base_position) push(*head_position, false);
  std::int64_t count = 0;
  std::vector<GraphPosition> parents;
  Buffer scratch;
  while (interesting > 0) {
    std::pop_heap(queue.begin(), queue.end());
    const Waiting taken = queue.back();
    queue.pop_back();
    const bool uninteresting = (mark(taken.position) & kUninteresting) != 0;
    if (!uninteresting) {
      --interesting;
      ++count;
    }
    if (!checked_parents(store, graph, taken.position, parents, scratch)) return std::nullopt;
    for (const GraphPosition parent : parents) {
      if ((mark(parent) & kSeen) == 0) {
        push(parent, uninteresting);
      } else if (uninteresting && (mark(parent) & kUninteresting) == 0) {
        // Waiting as interesting until now: the base reaches it after all.
        mark(parent) |= kUninteresting;
        --interesting;
      }
    }
  }
  std::vector<GraphPosition> waiting;
  waiting.reserve(queue.size());
  for (const Waiting& left : queue) waiting.push_back(left.position);
  if (!close_rows(store, graph, waiting, scratch)) return std::nullopt;
  return count;
}

}  // namespace

std::optional<CommitSet> reached(ObjectStore& store, const ObjectId& head, std::int64_t max_count) {
  CommitWalk walk(store, head, max_count, CommitWalk::Reads::Parents);
  if (!drain(walk)) return std::nullopt;
  return walk.take_seen();
}

namespace {

// Before a walk of a whole history from `head`: where the graph holds the
// head, its rows below are compared with their commits all together, in the
// order that finds them fastest (close_rows); the walk then takes them as
// checked. Where that declines, the walk reads the commits itself, and meets
// the row that disagreed (or what the store cannot read) on its own.
void close_history(ObjectStore& store, const ObjectId& head) {
  const CommitGraph* graph = store.commit_graph();
  if (graph == nullptr) return;
  if (const std::optional<GraphPosition> position = graph->find(head)) {
    Buffer scratch;
    close_rows(store, *graph, {*position}, scratch);
  }
}

}  // namespace

std::optional<std::int64_t> count_reachable(ObjectStore& store, const ObjectId& head,
                                            const std::optional<ObjectId>& base) {
  if (base == std::nullopt) {
    close_history(store, head);
    CommitWalk walk(store, head, -1, CommitWalk::Reads::Parents);
    return drain(walk);
  }
  if (const CommitGraph* graph = store.commit_graph()) {
    if (std::optional<std::int64_t> count = count_by_generation(store, *graph, head, *base)) return count;
  }
  // The base's whole history first; the head's walk then keeps outside it,
  // since whatever lies beyond a commit of the base's history is in it too.
  close_history(store, *base);
  const std::optional<CommitSet> hidden = reached(store, *base, -1);
  if (!hidden) return std::nullopt;
  CommitWalk walk(store, head, -1, CommitWalk::Reads::Parents);
  walk.stop_at(&*hidden);
  return drain(walk);
}

Outcome read_parents(ObjectStore& store, const ObjectId& id, std::vector<ObjectId>& parents) {
  parents.clear();
  Buffer content;
  ObjectType type;
  const Outcome read = store.read(id, type, content);
  if (read == Outcome::Missing) return note_decline(Outcome::declined("commit: not in the store"));
  if (read != Outcome::Found) return read;  // the store noted why
  // dulwich would read any other object and find no parents on it; a tag
  // the store does not parse is left to it.
  if (type != ObjectType::Commit) {
    if (parses_like_dulwich(type, content.view(), store.format())) return Outcome::Found;
    return note_decline(Outcome::declined("tag: a shape the store does not parse"));
  }
  std::optional<Commit> commit = parse_commit(content.view(), store.format());
  if (!commit) return note_decline(Outcome::declined("commit: a shape the store does not parse"));
  for (std::size_t i = 0; i < commit->parent_count(); ++i) parents.push_back(commit->parent(i));
  return Outcome::Found;
}

}  // namespace store
