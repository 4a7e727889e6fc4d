#include "store/commit_walk.h"

#include <algorithm>

namespace store {

bool CommitSet::insert(const CommitRef& commit) {
  if (commit.position == kNoPosition) return ids_.insert(commit.id);
  std::uint64_t& word = positions_[commit.position / 64];
  const std::uint64_t bit = std::uint64_t{1} << (commit.position % 64);
  const bool added = (word & bit) == 0;
  word |= bit;
  return added;
}

bool CommitSet::contains(const CommitRef& commit) const {
  if (commit.position == kNoPosition) return ids_.contains(commit.id);
  return (positions_[commit.position / 64] >> (commit.position % 64) & 1) != 0;
}

CommitWalk::CommitWalk(ObjectStore& store, const ObjectId& head, std::int64_t max_count, Reads reads)
    : store_(store),
      graph_(store.commit_graph()),
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
  if (graph_ != nullptr) {
    if (std::optional<std::uint32_t> position = graph_->find(id)) return {id, *position};
  }
  return {id, kNoPosition};
}

Step CommitWalk::next(CommitRef& commit) {
  queue_.insert(queue_.end(), parents_.begin(), parents_.end());
  parents_.clear();
  while (!queue_.empty() && (max_count_ < 0 || count_ < max_count_)) {
    commit = queue_.front();
    queue_.pop_front();
    if (boundary_ != nullptr && boundary_->contains(commit)) continue;
    if (!seen_.insert(commit)) continue;
    // The module's walk reads every commit it hands out; the graph stands in
    // for that read where only parents are needed.
    if (reads_ == Reads::Fields || commit.position == kNoPosition) {
      if (store_.read(commit.id, type_, content_) != Read::Found || type_ != ObjectType::Commit) {
        return Step::Declined;
      }
      std::optional<Commit> parsed = parse_commit(content_.view());
      if (!parsed) return Step::Declined;
      fields_ = *parsed;
    }
    if (commit.position != kNoPosition) {
      positions_.clear();
      graph_->parents(commit.position, positions_);
      for (std::uint32_t position : positions_) parents_.push_back({graph_->id_at(position), position});
    } else {
      for (std::size_t i = 0; i < fields_.parent_count(); ++i) parents_.push_back(locate(fields_.parent(i)));
    }
    ++count_;
    return Step::Commit;
  }
  return Step::End;
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

// The count through the commit-graph alone: commits taken highest generation
// first, each marked as reachable from the base (uninteresting) or not, the
// mark passed on to its parents. A commit's mark is final when it is taken,
// since every commit that can reach it has a higher generation; counting
// stops once only uninteresting commits wait. Nothing when the graph lacks a
// head or its generations (none written, or a parent not below its child).
std::optional<std::int64_t> count_by_generation(const CommitGraph& graph, const ObjectId& head, const ObjectId& base) {
  const std::optional<std::uint32_t> head_position = graph.find(head);
  const std::optional<std::uint32_t> base_position = graph.find(base);
  if (!head_position || !base_position) return std::nullopt;
  enum : std::uint8_t { kSeen = 1, kUninteresting = 2 };
  std::vector<std::uint8_t> marks(graph.size(), 0);
  struct Waiting {
    std::uint32_t generation;
    std::uint32_t position;
    bool operator<(const Waiting& other) const { return generation < other.generation; }
  };
  std::vector<Waiting> queue;  // a heap, highest generation on top
  std::int64_t interesting = 0;
  auto push = [&](std::uint32_t position, bool uninteresting) {
    marks[position] = kSeen | (uninteresting ? kUninteresting : 0);
    if (!uninteresting) ++interesting;
    queue.push_back({graph.generation(position), position});
    std::push_heap(queue.begin(), queue.end());
  };
  push(*base_position, true);
  if (*head_position != *base_position) push(*head_position, false);
  std::int64_t count = 0;
  std::vector<std::uint32_t> parents;
  while (interesting > 0) {
    std::pop_heap(queue.begin(), queue.end());
    const Waiting taken = queue.back();
    queue.pop_back();
    if (taken.generation == 0) return std::nullopt;
    const bool uninteresting = (marks[taken.position] & kUninteresting) != 0;
    if (!uninteresting) {
      --interesting;
      ++count;
    }
    parents.clear();
    graph.parents(taken.position, parents);
    for (const std::uint32_t parent : parents) {
      if (graph.generation(parent) >= taken.generation) return std::nullopt;
      if ((marks[parent] & kSeen) == 0) {
        push(parent, uninteresting);
      } else if (uninteresting && (marks[parent] & kUninteresting) == 0) {
        // Waiting as interesting until now: the base reaches it after all.
        marks[parent] |= kUninteresting;
        --interesting;
      }
    }
  }
  return count;
}

}  // namespace

std::optional<CommitSet> reached(ObjectStore& store, const ObjectId& head, std::int64_t max_count) {
  CommitWalk walk(store, head, max_count, CommitWalk::Reads::Parents);
  if (!drain(walk)) return std::nullopt;
  return walk.take_seen();
}

std::optional<std::int64_t> count_reachable(ObjectStore& store, const ObjectId& head,
                                            const std::optional<ObjectId>& base) {
  if (base == std::nullopt) {
    CommitWalk walk(store, head, -1, CommitWalk::Reads::Parents);
    return drain(walk);
  }
  if (const CommitGraph* graph = store.commit_graph()) {
    if (std::optional<std::int64_t> count = count_by_generation(*graph, head, *base)) return count;
  }
  // The base's whole history first; the head's walk then keeps outside it,
  // since whatever lies beyond a commit of the base's history is in it too.
  const std::optional<CommitSet> hidden = reached(store, *base, -1);
  if (!hidden) return std::nullopt;
  CommitWalk walk(store, head, -1, CommitWalk::Reads::Parents);
  walk.stop_at(&*hidden);
  return drain(walk);
}

ParentsRead read_parents(ObjectStore& store, const ObjectId& id, std::vector<ObjectId>& parents) {
  parents.clear();
  if (const CommitGraph* graph = store.commit_graph()) {
    if (std::optional<std::uint32_t> position = graph->find(id)) {
      std::vector<std::uint32_t> positions;
      graph->parents(*position, positions);
      for (std::uint32_t parent : positions) parents.push_back(graph->id_at(parent));
      return ParentsRead::Commit;
    }
  }
  ObjectType type;
  Buffer content;
  if (store.read(id, type, content) != Read::Found) return ParentsRead::Declined;
  // dulwich would read any other object and find no parents on it; a tag
  // the store does not parse is left to it.
  if (type != ObjectType::Commit)
    return parses_like_dulwich(type, content.view()) ? ParentsRead::NotACommit : ParentsRead::Declined;
  std::optional<Commit> commit = parse_commit(content.view());
  if (!commit) return ParentsRead::Declined;
  for (std::size_t i = 0; i < commit->parent_count(); ++i) parents.push_back(commit->parent(i));
  return ParentsRead::Commit;
}

}  // namespace store
