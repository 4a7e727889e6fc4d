#include "store/sha256.h"

#include "store/object_id.h"

namespace store {

namespace detail {

namespace {

inline std::uint32_t rotr(std::uint32_t value, int bits) { return (value >> bits) | (value << (32 - bits)); }

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
    for (int i = 0; i < 16; ++i) w[i] = read_be32(data + 4 * i);
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

bool Sha256::hardware_available() { return detail::cpu_has_sha_extensions(); }

namespace {

constexpr std::uint32_t kSha256InitialState[8] = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                                                  0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};

detail::BlockHash<8>::Blocks block_function(Sha256::Engine engine) {
#if defined(__x86_64__)
  if (engine == Sha256::Engine::Best && Sha256::hardware_available()) return detail::sha256_blocks_hardware;
#else
  (void)engine;
#endif
  return detail::sha256_blocks_portable;
}

}  // namespace

Sha256::Sha256(Engine engine) : hash_(block_function(engine), kSha256InitialState) {}

void Sha256::finish(std::uint8_t digest[kDigestSize]) { hash_.finish(digest); }

}  // namespace store
