#include "store/sha1.h"

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

bool Sha1::hardware_available() { return detail::cpu_has_sha_extensions(); }

namespace {

constexpr std::uint32_t kSha1InitialState[5] = {0x67452301, 0xEFCDAB89, 0x98BADCFE, 0x10325476, 0xC3D2E1F0};

detail::BlockHash<5>::Blocks block_function(Sha1::Engine engine) {
#if defined(__x86_64__)
  if (engine == Sha1::Engine::Best && Sha1::hardware_available()) return detail::sha1_blocks_hardware;
#else
  (void)engine;
#endif
  return detail::sha1_blocks_portable;
}

}  // namespace

Sha1::Sha1(Engine engine) : hash_(block_function(engine), kSha1InitialState) {}

ObjectId Sha1::finish() {
  ObjectId id;
  hash_.finish(id.bytes.data());
  return id;
}

}  // namespace store
