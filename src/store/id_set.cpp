#include "store/id_set.h"

namespace store {

bool IdSet::insert(const ObjectId& id) {
  // At most half full, so that probe runs stay short.
  if (2 * (size_ + 1) > slots_.size()) grow();
  const std::size_t mask = slots_.size() - 1;
  for (std::size_t i = ObjectIdHash{}(id)&mask;; i = (i + 1) & mask) {
    if (!used_[i]) {
      used_[i] = 1;
      slots_[i] = id;
      ++size_;
      return true;
    }
    if (slots_[i] == id) return false;
  }
}

bool IdSet::contains(const ObjectId& id) const {
  if (size_ == 0) return false;
  const std::size_t mask = slots_.size() - 1;
  for (std::size_t i = ObjectIdHash{}(id)&mask; used_[i]; i = (i + 1) & mask) {
    if (slots_[i] == id) return true;
  }
  return false;
}

void IdSet::clear() {
  slots_ = {};
  used_ = {};
  size_ = 0;
}

void IdSet::grow() {
  std::vector<ObjectId> old_slots = std::move(slots_);
  std::vector<std::uint8_t> old_used = std::move(used_);
  const std::size_t capacity = old_slots.empty() ? 64 : 2 * old_slots.size();
  slots_.assign(capacity, ObjectId{});
  used_.assign(capacity, 0);
  size_ = 0;
  for (std::size_t i = 0; i < old_slots.size(); ++i) {
    if (old_used[i]) insert(old_slots[i]);
  }
}

}  // namespace store
