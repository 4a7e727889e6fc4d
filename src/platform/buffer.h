// A growable byte buffer that is not zero-filled when it grows, so that a
// read can put bytes straight into it. Reused between reads: once it has
// grown to the largest content seen, reading allocates nothing.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string_view>

namespace platform {

class Buffer {
 public:
  std::uint8_t* data() { return data_.get(); }
  const std::uint8_t* data() const { return data_.get(); }
  std::size_t size() const { return size_; }
  std::size_t capacity() const { return capacity_; }
  bool empty() const { return size_ == 0; }
  std::string_view view() const { return {reinterpret_cast<const char*>(data_.get()), size_}; }
  void clear() { size_ = 0; }
  // Sets the size to `size`; bytes past the old size are left unset.
  // May throw std::bad_alloc.
  void resize(std::size_t size) {
    if (size > capacity_) grow(size);
    size_ = size;
  }
  // Room for `capacity` bytes, the size and content kept.
  void reserve(std::size_t capacity) {
    if (capacity > capacity_) grow(capacity);
  }
  void assign(const std::uint8_t* bytes, std::size_t size) {
    resize(size);
    if (size != 0) std::memcpy(data_.get(), bytes, size);
  }
  // Gives back memory above `limit` bytes (after an unusually large content).
  void shrink_to(std::size_t limit) {
    if (capacity_ > limit && size_ <= limit) {
      Buffer smaller;
      smaller.assign(data(), size_);
      *this = std::move(smaller);
    }
  }

 private:
  // At least double the room (reads that grow bit by bit copy little), and
  // exactly what is asked when that is more: a buffer sized for one large
  // content holds no more than it.
  void grow(std::size_t size) {
    std::size_t capacity = capacity_ > SIZE_MAX / 2 ? SIZE_MAX : capacity_ * 2;
    if (capacity < 256) capacity = 256;
    if (capacity < size) capacity = size;
    std::unique_ptr<std::uint8_t[]> bigger(new std::uint8_t[capacity]);
    if (size_ != 0) std::memcpy(bigger.get(), data_.get(), size_);
    data_ = std::move(bigger);
    capacity_ = capacity;
  }

  std::unique_ptr<std::uint8_t[]> data_;
  std::size_t size_ = 0;
  std::size_t capacity_ = 0;
};

}  // namespace platform
