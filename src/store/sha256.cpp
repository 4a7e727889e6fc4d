#include "store/sha256.h"

#include <cstring>

#if defined(__x86_64__)
#include <cpuid.h>
#endif

namespace store {

namespace detail {

namespace {

inline std::uint32_t rotr(std::uint32_t value, int bits) { return (value >> bits) | (value << (32 - bits)); }

inline std::uint32_t load_be32(const std::uint8_t* p) {
  return (std::uint32_t{p[0]} << 24) | (std::uint32_t{p[1]} << 16) | (std::uint32_t{p[2]} << 8) | std::uint32_t{p[3]};
}

// The block's word for round `i` of sixteen and later: computed from the
// rolling window, which it replaces.
inline std::uint32_t scheduled(std::uint32_t w[16], int i) {
  const std::uint32_t early = w[(i + 1) & 15], late = w[(i + 14) & 15];
  w[i & 15] += (rotr(early, 7) ^ rotr(early, 18) ^ (early >> 3)) + w[(i + 9) & 15] +
               (rotr(late, 17) ^ rotr(late, 19) ^ (late >> 10));
  return w[i & 15];
}

}  // namespace

// One round: h takes the new a, d the new e; the other six carry over under
// new names, which the caller rotates.
#define GSC_SHA256_ROUND(a, b, c, d, e, f, g, h, word, i)                                                       \
  do {                                                                                                          \
    const std::uint32_t t1 =                                                                                    \
        h + (rotr(e, 6) ^ rotr(e, 11) ^ rotr(e, 25)) + (g ^ (e & (f ^ g))) + kSha256RoundConstants[i] + (word); \
    d += t1;                                                                                                    \
    h = t1 + (rotr(a, 2) ^ rotr(a, 13) ^ rotr(a, 22)) + ((a & b) | (c & (a | b)));                              \
  } while (0)

// Eight rounds, the registers' roles moving one place each round.
#define GSC_SHA256_EIGHT_ROUNDS(word_of, i)                              \
  do {                                                                   \
    GSC_SHA256_ROUND(a, b, c, d, e, f, g, h, word_of(i), i);             \
    GSC_SHA256_ROUND(h, a, b, c, d, e, f, g, word_of((i) + 1), (i) + 1); \
    GSC_SHA256_ROUND(g, h, a, b, c, d, e, f, word_of((i) + 2), (i) + 2); \
    GSC_SHA256_ROUND(f, g, h, a, b, c, d, e, word_of((i) + 3), (i) + 3); \
    GSC_SHA256_ROUND(e, f, g, h, a, b, c, d, word_of((i) + 4), (i) + 4); \
    GSC_SHA256_ROUND(d, e, f, g, h, a, b, c, word_of((i) + 5), (i) + 5); \
    GSC_SHA256_ROUND(c, d, e, f, g, h, a, b, word_of((i) + 6), (i) + 6); \
    GSC_SHA256_ROUND(b, c, d, e, f, g, h, a, word_of((i) + 7), (i) + 7); \
  } while (0)

#define GSC_SHA256_LOADED(i) w[i]
#define GSC_SHA256_SCHEDULED(i) scheduled(w, i)

void sha256_blocks_portable(std::uint32_t state[8], const std::uint8_t* data, std::size_t blocks) {
  for (; blocks != 0; --blocks, data += 64) {
    std::uint32_t w[16];
    for (int i = 0; i < 16; ++i) w[i] = load_be32(data + 4 * i);
    std::uint32_t a = state[0], b = state[1], c = state[2], d = state[3];
    std::uint32_t e = state[4], f = state[5], g = state[6], h = state[7];
    // The first sixteen rounds take the block's words as they are; the rest
    // derive theirs from the sixteen before.
    for (int i = 0; i < 16; i += 8) GSC_SHA256_EIGHT_ROUNDS(GSC_SHA256_LOADED, i);
    for (int i = 16; i < 64; i += 8) GSC_SHA256_EIGHT_ROUNDS(GSC_SHA256_SCHEDULED, i);
    state[0] += a;
    state[1] += b;
    state[2] += c;
    state[3] += d;
    state[4] += e;
    state[5] += f;
    state[6] += g;
    state[7] += h;
  }
}

#undef GSC_SHA256_SCHEDULED
#undef GSC_SHA256_LOADED
#undef GSC_SHA256_EIGHT_ROUNDS
#undef GSC_SHA256_ROUND

}  // namespace detail

bool Sha256::hardware_available() {
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

Sha256::Sha256(Engine engine)
    : blocks_(detail::sha256_blocks_portable),
      state_{0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a, 0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19} {
#if defined(__x86_64__)
  if (engine == Engine::Best && hardware_available()) blocks_ = detail::sha256_blocks_hardware;
#else
  (void)engine;
#endif
}

void Sha256::update(const void* data, std::size_t size) {
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

void Sha256::finish(std::uint8_t digest[kDigestSize]) {
  const std::uint64_t bits = total_ * 8;
  std::uint8_t tail[128] = {};
  std::memcpy(tail, pending_, pending_size_);
  tail[pending_size_] = 0x80;
  const std::size_t tail_size = pending_size_ < 56 ? 64 : 128;
  for (int i = 0; i < 8; ++i) tail[tail_size - 1 - i] = static_cast<std::uint8_t>(bits >> (8 * i));
  blocks_(state_, tail, tail_size / 64);
  for (int i = 0; i < 8; ++i) {
    digest[4 * i] = static_cast<std::uint8_t>(state_[i] >> 24);
    digest[4 * i + 1] = static_cast<std::uint8_t>(state_[i] >> 16);
    digest[4 * i + 2] = static_cast<std::uint8_t>(state_[i] >> 8);
    digest[4 * i + 3] = static_cast<std::uint8_t>(state_[i]);
  }
}

}  // namespace store
