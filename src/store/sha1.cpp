#include "store/sha1.h"

#include <cstring>

#if defined(__x86_64__)
#include <cpuid.h>
#endif

namespace store {

namespace detail {

namespace {

inline std::uint32_t rotl(std::uint32_t value, int bits) { return (value << bits) | (value >> (32 - bits)); }

}  // namespace

// The four kinds of rounds, each with its own function and constant; the
// schedule is kept as a rolling window of sixteen words.
#define GSC_SHA1_ROUND(a, b, c, d, e, f, k, i)                                                  \
  do {                                                                                          \
    std::uint32_t word;                                                                         \
    if ((i) < 16) {                                                                             \
      word = w[(i) & 15];                                                                       \
    } else {                                                                                    \
      word = rotl(w[((i) + 13) & 15] ^ w[((i) + 8) & 15] ^ w[((i) + 2) & 15] ^ w[(i) & 15], 1); \
      w[(i) & 15] = word;                                                                       \
    }                                                                                           \
    e += rotl(a, 5) + (f) + (k) + word;                                                         \
    b = rotl(b, 30);                                                                            \
  } while (0)

void sha1_blocks_portable(std::uint32_t state[5], const std::uint8_t* data, std::size_t blocks) {
  for (; blocks != 0; --blocks, data += 64) {
    std::uint32_t w[16];
    for (int i = 0; i < 16; ++i) w[i] = read_be32(data + 4 * i);
    std::uint32_t a = state[0], b = state[1], c = state[2], d = state[3], e = state[4];
    // Five rounds per step, the roles of the registers rotating.
    for (int i = 0; i < 20; i += 5) {
      GSC_SHA1_ROUND(a, b, c, d, e, (d ^ (b & (c ^ d))), 0x5A827999u, i);
      GSC_SHA1_ROUND(e, a, b, c, d, (c ^ (a & (b ^ c))), 0x5A827999u, i + 1);
      GSC_SHA1_ROUND(d, e, a, b, c, (b ^ (e & (a ^ b))), 0x5A827999u, i + 2);
      GSC_SHA1_ROUND(c, d, e, a, b, (a ^ (d & (e ^ a))), 0x5A827999u, i + 3);
      GSC_SHA1_ROUND(b, c, d, e, a, (e ^ (c & (d ^ e))), 0x5A827999u, i + 4);
    }
    for (int i = 20; i < 40; i += 5) {
      GSC_SHA1_ROUND(a, b, c, d, e, (b ^ c ^ d), 0x6ED9EBA1u, i);
      GSC_SHA1_ROUND(e, a, b, c, d, (a ^ b ^ c), 0x6ED9EBA1u, i + 1);
      GSC_SHA1_ROUND(d, e, a, b, c, (e ^ a ^ b), 0x6ED9EBA1u, i + 2);
      GSC_SHA1_ROUND(c, d, e, a, b, (d ^ e ^ a), 0x6ED9EBA1u, i + 3);
      GSC_SHA1_ROUND(b, c, d, e, a, (c ^ d ^ e), 0x6ED9EBA1u, i + 4);
    }
    for (int i = 40; i < 60; i += 5) {
      GSC_SHA1_ROUND(a, b, c, d, e, ((b & c) | (d & (b | c))), 0x8F1BBCDCu, i);
      GSC_SHA1_ROUND(e, a, b, c, d, ((a & b) | (c & (a | b))), 0x8F1BBCDCu, i + 1);
      GSC_SHA1_ROUND(d, e, a, b, c, ((e & a) | (b & (e | a))), 0x8F1BBCDCu, i + 2);
      GSC_SHA1_ROUND(c, d, e, a, b, ((d & e) | (a & (d | e))), 0x8F1BBCDCu, i + 3);
      GSC_SHA1_ROUND(b, c, d, e, a, ((c & d) | (e & (c | d))), 0x8F1BBCDCu, i + 4);
    }
    for (int i = 60; i < 80; i += 5) {
      GSC_SHA1_ROUND(a, b, c, d, e, (b ^ c ^ d), 0xCA62C1D6u, i);
      GSC_SHA1_ROUND(e, a, b, c, d, (a ^ b ^ c), 0xCA62C1D6u, i + 1);
      GSC_SHA1_ROUND(d, e, a, b, c, (e ^ a ^ b), 0xCA62C1D6u, i + 2);
      GSC_SHA1_ROUND(c, d, e, a, b, (d ^ e ^ a), 0xCA62C1D6u, i + 3);
      GSC_SHA1_ROUND(b, c, d, e, a, (c ^ d ^ e), 0xCA62C1D6u, i + 4);
    }
    state[0] += a;
    state[1] += b;
    state[2] += c;
    state[3] += d;
    state[4] += e;
  }
}

#undef GSC_SHA1_ROUND

}  // namespace detail

bool Sha1::hardware_available() {
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

Sha1::Sha1(Engine engine)
    : blocks_(detail::sha1_blocks_portable), state_{0x67452301, 0xEFCDAB89, 0x98BADCFE, 0x10325476, 0xC3D2E1F0} {
#if defined(__x86_64__)
  if (engine == Engine::Best && hardware_available()) blocks_ = detail::sha1_blocks_hardware;
#else
  (void)engine;
#endif
}

void Sha1::update(const void* data, std::size_t size) {
  // An empty buffer may have no storage at all: nothing to copy from.
  if (size == 0) return;
  const auto* bytes = static_cast<const std::uint8_t*>(data);
  total_ += size;
  if (pending_size_ != 0) {
    const std::size_t take = size < 64 - pending_size_ ? size : 64 - pending_size_;
    std::memcpy(pending_ + pending_size_, bytes, take);
    pending_size_ += take;
    bytes += take;
    size -= take;
    if (pending_size_ < 64) return;
    blocks_(state_, pending_, 1);
    pending_size_ = 0;
  }
  if (size >= 64) {
    blocks_(state_, bytes, size / 64);
    bytes += size / 64 * 64;
    size %= 64;
  }
  if (size != 0) {
    std::memcpy(pending_, bytes, size);
    pending_size_ = size;
  }
}

ObjectId Sha1::finish() {
  const std::uint64_t bits = total_ * 8;
  std::uint8_t tail[128] = {};
  std::memcpy(tail, pending_, pending_size_);
  tail[pending_size_] = 0x80;
  const std::size_t tail_size = pending_size_ < 56 ? 64 : 128;
  for (int i = 0; i < 8; ++i) tail[tail_size - 1 - i] = static_cast<std::uint8_t>(bits >> (8 * i));
  blocks_(state_, tail, tail_size / 64);
  ObjectId id;
  for (int i = 0; i < 5; ++i) {
    id.bytes[4 * i] = static_cast<std::uint8_t>(state_[i] >> 24);
    id.bytes[4 * i + 1] = static_cast<std::uint8_t>(state_[i] >> 16);
    id.bytes[4 * i + 2] = static_cast<std::uint8_t>(state_[i] >> 8);
    id.bytes[4 * i + 3] = static_cast<std::uint8_t>(state_[i]);
  }
  return id;
}

}  // namespace store
