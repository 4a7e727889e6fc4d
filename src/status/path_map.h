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
    std::size_t size = slots_.empty() ? kFirstSize : slots_.size();
    while (2 * count > size) size *= 2;
    if (size > slots_.size()) rehash(size);
  }

  // The value of `key`, inserted as `value` when absent; true when inserted.
  // The view must stay valid as long as the map.
  std::pair<T*, bool> try_emplace(std::string_view key, T value) {
    if (2 * (size_ + 1) > slots_.size()) rehash(slots_.empty() ? kFirstSize : 2 * slots_.size());
    const std::size_t hash = hash_of(key);
    Slot* slot = locate(key, hash);
    if (slot->hash != kEmpty) return {&slot->value, false};
    *slot = Slot{key, hash, std::move(value)};
    ++size_;
    return {&slot->value, true};
  }

  T* find(std::string_view key) {
    if (size_ == 0) return nullptr;
    Slot* slot = locate(key, hash_of(key));
    return slot->hash != kEmpty ? &slot->value : nullptr;
  }
  const T* find(std::string_view key) const { return const_cast<PathMap*>(this)->find(key); }

  // Starts bringing the slot where `key` would be into the cache, for a find
  // soon after: lookups of many keys then wait for memory together.
  void prefetch(std::string_view key) const {
    if (!slots_.empty()) __builtin_prefetch(&slots_[hash_of(key) & (slots_.size() - 1)]);
  }

  void clear() {
    slots_.clear();
    size_ = 0;
  }

 private:
  static constexpr std::size_t kFirstSize = 64;
  // A used slot's hash has its top bit set; an empty slot's is 0.
  static constexpr std::size_t kEmpty = 0;
  static constexpr std::size_t kUsed = ~(~std::size_t{0} >> 1);

  struct Slot {
    std::string_view key;
    std::size_t hash = kEmpty;
    T value{};
  };

  static std::size_t hash_of(std::string_view key) { return std::hash<std::string_view>{}(key) | kUsed; }

  // The slot holding `key`, or the empty one where it would go.
  Slot* locate(std::string_view key, std::size_t hash) {
    const std::size_t mask = slots_.size() - 1;
    for (std::size_t i = hash & mask;; i = (i + 1) & mask) {
      Slot& slot = slots_[i];
      if (slot.hash == kEmpty || (slot.hash == hash && slot.key == key)) return &slot;
    }
  }

  // Moves every entry into a table of `size` slots (a power of two).
  void rehash(std::size_t size) {
    std::vector<Slot> old = std::move(slots_);
    slots_ = std::vector<Slot>(size);
    for (Slot& slot : old) {
      if (slot.hash != kEmpty) *locate(slot.key, slot.hash) = std::move(slot);
    }
  }

  std::vector<Slot> slots_;
  std::size_t size_ = 0;
};

}  // namespace status
