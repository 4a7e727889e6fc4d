#include "store/commit_walk.h"

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
