// Sets of object ids, kept in one flat open-addressed table: a walk over a
// long history keeps hundreds of thousands of them, and a node per member
// (what a standard unordered set allocates) costs a cache miss on every test.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "store/object_id.h"

namespace store {

class IdSet {
 public:
  // Adds `id`; true when it was not a member yet. May throw std::bad_alloc.
  bool insert(const ObjectId& id);
  bool contains(const ObjectId& id) const;
  bool empty() const { return size_ == 0; }
  std::size_t size() const { return size_; }
  void clear();
  template <class Each>
  void for_each(Each&& each) const {
    for (std::size_t i = 0; i < slots_.size(); ++i) {
      if (used_[i]) each(slots_[i]);
    }
  }

 private:
  void grow();

  std::vector<ObjectId> slots_;
  std::vector<std::uint8_t> used_;
  std::size_t size_ = 0;
};

}  // namespace store
