#include "history/id_set.h"

namespace history {

namespace {

// The value of a lowercase hexadecimal digit, or -1.
int digit_value(char ch) {
  if (ch >= '0' && ch <= '9') return ch - '0';
  if (ch >= 'a' && ch <= 'f') return ch - 'a' + 10;
  return -1;
}

}  // namespace

bool PackedIdSet::insert(const Id& id) {
  // At most half full, so that probe runs stay short.
  if (2 * (size_ + 1) > slots_.size()) grow();
  const std::size_t mask = slots_.size() - 1;
  for (std::size_t i = hash(id) & mask;; i = (i + 1) & mask) {
    if (!used_[i]) {
      used_[i] = 1;
      slots_[i] = id;
      ++size_;
      return true;
    }
    if (slots_[i] == id) return false;
  }
}

bool PackedIdSet::contains(const Id& id) const {
  if (size_ == 0) return false;
  const std::size_t mask = slots_.size() - 1;
  for (std::size_t i = hash(id) & mask; used_[i]; i = (i + 1) & mask) {
    if (slots_[i] == id) return true;
  }
  return false;
}

void PackedIdSet::clear() {
  slots_ = {};
  used_ = {};
  size_ = 0;
}

void PackedIdSet::grow() {
  std::vector<Id> old_slots = std::move(slots_);
  std::vector<unsigned char> old_used = std::move(used_);
  const std::size_t capacity = old_slots.empty() ? 64 : 2 * old_slots.size();
  slots_.assign(capacity, Id{});
  used_.assign(capacity, 0);
  size_ = 0;
  for (std::size_t i = 0; i < old_slots.size(); ++i) {
    if (old_used[i]) insert(old_slots[i]);
  }
}

bool ContentSet::pack(std::string_view content, Packed& packed) {
  if (content.size() != 40) return false;
  for (std::size_t i = 0; i < 20; ++i) {
    const int high = digit_value(content[2 * i]);
    const int low = digit_value(content[2 * i + 1]);
    if (high < 0 || low < 0) return false;
    packed[i] = static_cast<unsigned char>(high << 4 | low);
  }
  return true;
}

std::array<char, 40> ContentSet::spell(const Packed& packed) {
  static constexpr char digits[] = "0123456789abcdef";
  std::array<char, 40> text;
  for (std::size_t i = 0; i < 20; ++i) {
    text[2 * i] = digits[packed[i] >> 4];
    text[2 * i + 1] = digits[packed[i] & 0x0F];
  }
  return text;
}

bool ContentSet::insert(std::string_view content) {
  Packed packed;
  if (pack(content, packed)) return packed_.insert(packed);
  return other_.emplace(content).second;
}

bool ContentSet::contains(std::string_view content) const {
  Packed packed;
  if (pack(content, packed)) return packed_.contains(packed);
  return other_.find(content) != other_.end();
}

void ContentSet::clear() {
  packed_.clear();
  other_ = {};
}

}  // namespace history
