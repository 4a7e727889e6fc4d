// A map from paths to small values, for the scan's tens of thousands of
// lookups: one flat open-addressed table of views (the text is kept by the
// caller), where a node per entry would cost an allocation and a cache miss.
#pragma once

#include <cstddef>
#include <functional>
#include <string_view>
#include <utility>
#include <vector>

namespace status {

template <class T>
class PathMap {
 public:
  // Room for `count` entries without growing.
  void reserve(std::size_t count) {
    while (2 * count > slots_.size()) grow();
  }

  // The value of `key`, inserted as `value` when absent; true when inserted.
  // The view must stay valid as long as the map.
  std::pair<T*, bool> try_emplace(std::string_view key, T value) {
    if (2 * (size_ + 1) > slots_.size()) grow();
    const std::size_t hash = std::hash<std::string_view>{}(key);
    Slot* slot = locate(key, hash);
    if (slot->used) return {&slot->value, false};
    *slot = Slot{key, hash, std::move(value), true};
    ++size_;
    return {&slot->value, true};
  }

  T* find(std::string_view key) {
    if (size_ == 0) return nullptr;
    Slot* slot = locate(key, std::hash<std::string_view>{}(key));
    return slot->used ? &slot->value : nullptr;
  }
  const T* find(std::string_view key) const { return const_cast<PathMap*>(this)->find(key); }

  void clear() {
    slots_.clear();
    size_ = 0;
  }

 private:
  struct Slot {
    std::string_view key;
    std::size_t hash = 0;
    T value{};
    bool used = false;
  };

  // The slot holding `key`, or the empty one where it would go.
  Slot* locate(std::string_view key, std::size_t hash) {
    const std::size_t mask = slots_.size() - 1;
    for (std::size_t i = hash & mask;; i = (i + 1) & mask) {
      Slot& slot = slots_[i];
      if (!slot.used || (slot.hash == hash && slot.key == key)) return &slot;
    }
  }

  void grow() {
    std::vector<Slot> old = std::move(slots_);
    slots_ = std::vector<Slot>(old.empty() ? 64 : 2 * old.size());
    for (Slot& slot : old) {
      if (slot.used) *locate(slot.key, slot.hash) = std::move(slot);
    }
  }

  std::vector<Slot> slots_;
  std::size_t size_ = 0;
};

}  // namespace status
