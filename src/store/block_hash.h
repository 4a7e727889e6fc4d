// What SHA-1 and SHA-256 share: the message cut into 64-byte blocks for an
// engine's block function, the last block padded with a one bit, zeros and
// the message's length in bits, and the state written out big-endian.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#if defined(__x86_64__)
#include <cpuid.h>
#endif

namespace store::detail {

template <std::size_t Words>
class BlockHash {
 public:
  using Blocks = void (*)(std::uint32_t state[Words], const std::uint8_t* data, std::size_t blocks);
  static constexpr std::size_t kDigestSize = Words * 4;

  BlockHash(Blocks blocks, const std::uint32_t (&initial)[Words]) : blocks_(blocks) {
    std::memcpy(state_, initial, sizeof state_);
  }

  void update(const void* data, std::size_t size) {
    // An empty buffer may have no storage at all: nothing to copy from.
    if (size == 0) return;
    const auto* bytes = static_cast<const std::uint8_t*>(data);
    total_ += size;
    if (pending_size_ != 0) {
      const std::size_t take = size < kBlock - pending_size_ ? size : kBlock - pending_size_;
      std::memcpy(pending_ + pending_size_, bytes, take);
      pending_size_ += take;
      bytes += take;
      size -= take;
      if (pending_size_ < kBlock) return;
      blocks_(state_, pending_, 1);
      pending_size_ = 0;
    }
    if (size >= kBlock) {
      blocks_(state_, bytes, size / kBlock);
      bytes += size / kBlock * kBlock;
      size %= kBlock;
    }
    if (size != 0) {
      std::memcpy(pending_, bytes, size);
      pending_size_ = size;
    }
  }

  // Writes the digest's kDigestSize bytes; no update may follow.
  void finish(std::uint8_t* digest) {
    const std::uint64_t bits = total_ * 8;
    std::uint8_t tail[2 * kBlock] = {};
    std::memcpy(tail, pending_, pending_size_);
    tail[pending_size_] = 0x80;
    const std::size_t tail_size = pending_size_ < kBlock - 8 ? kBlock : 2 * kBlock;
    for (int i = 0; i < 8; ++i) tail[tail_size - 1 - i] = static_cast<std::uint8_t>(bits >> (8 * i));
    blocks_(state_, tail, tail_size / kBlock);
    for (std::size_t i = 0; i < Words; ++i) {
      digest[4 * i] = static_cast<std::uint8_t>(state_[i] >> 24);
      digest[4 * i + 1] = static_cast<std::uint8_t>(state_[i] >> 16);
      digest[4 * i + 2] = static_cast<std::uint8_t>(state_[i] >> 8);
      digest[4 * i + 3] = static_cast<std::uint8_t>(state_[i]);
    }
  }

 private:
  static constexpr std::size_t kBlock = 64;
  Blocks blocks_;
  std::uint32_t state_[Words];
  std::uint8_t pending_[kBlock];
  std::size_t pending_size_ = 0;
  std::uint64_t total_ = 0;
};

// True when this processor has the x86 SHA extensions and the SSSE3 and
// SSE4.1 instructions the engines use beside them (false off x86-64).
inline bool cpu_has_sha_extensions() {
#if defined(__x86_64__)
  static const bool available = [] {
    unsigned eax, ebx, ecx, edx;
    if (!__get_cpuid(1, &eax, &ebx, &ecx, &edx)) return false;
    const bool ssse3 = ecx & (1u << 9), sse41 = ecx & (1u << 19);
    if (__get_cpuid_max(0, nullptr) < 7) return false;
    __cpuid_count(7, 0, eax, ebx, ecx, edx);
    return ssse3 && sse41 && (ebx & (1u << 29));
  }();
  return available;
#else
  return false;
#endif
}

}  // namespace store::detail
