// SHA-256 blocks with the x86 SHA extensions. This unit alone is compiled with
// -msha -msse4.1; it runs only after Sha256 has checked the processor.
#include "store/sha256.h"

#if defined(__x86_64__)

#include <immintrin.h>

#include <utility>

namespace store::detail {

namespace {

// The state as the instructions hold it: a, b, e, f in one register and
// c, d, g, h in the other (highest lane first).
struct Lanes {
  __m128i abef, cdgh, msg[4];
};

// Rounds 4k .. 4k+3, two at a time. Groups 0-3 load the block's words;
// later groups' words are derived from earlier ones with the schedule
// instructions, each started three groups ahead and completed one ahead.
template <int k>
inline void rounds(Lanes& s) {
  const __m128i& now = s.msg[k % 4];
  __m128i words = _mm_add_epi32(now, _mm_load_si128(reinterpret_cast<const __m128i*>(kSha256RoundConstants + 4 * k)));
  s.cdgh = _mm_sha256rnds2_epu32(s.cdgh, s.abef, words);
  if constexpr (k >= 3 && k + 1 <= 15) {
    __m128i& next = s.msg[(k + 1) % 4];
    next = _mm_add_epi32(next, _mm_alignr_epi8(now, s.msg[(k + 3) % 4], 4));
    next = _mm_sha256msg2_epu32(next, now);
  }
  words = _mm_shuffle_epi32(words, 0x0E);
  s.abef = _mm_sha256rnds2_epu32(s.abef, s.cdgh, words);
  if constexpr (k >= 1 && k + 3 <= 15) s.msg[(k + 3) % 4] = _mm_sha256msg1_epu32(s.msg[(k + 3) % 4], now);
}

template <int... k>
inline void all_rounds(Lanes& s, const std::uint8_t* data, const __m128i mask, std::integer_sequence<int, k...>) {
  (([&] {
     if constexpr (k < 4) {
       s.msg[k] = _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(data + 16 * k)), mask);
     }
     rounds<k>(s);
   }()),
   ...);
}

}  // namespace

void sha256_blocks_hardware(std::uint32_t state[8], const std::uint8_t* data, std::size_t blocks) {
  // Each word's bytes reversed: the block is big-endian.
  const __m128i mask = _mm_set_epi64x(0x0c0d0e0f08090a0bLL, 0x0405060700010203LL);
  Lanes s;
  const __m128i cdab = _mm_shuffle_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(state)), 0xB1);
  const __m128i efgh = _mm_shuffle_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(state + 4)), 0x1B);
  s.abef = _mm_alignr_epi8(cdab, efgh, 8);
  s.cdgh = _mm_blend_epi16(efgh, cdab, 0xF0);
  for (; blocks != 0; --blocks, data += 64) {
    const __m128i abef_saved = s.abef;
    const __m128i cdgh_saved = s.cdgh;
    all_rounds(s, data, mask, std::make_integer_sequence<int, 16>{});
    s.abef = _mm_add_epi32(s.abef, abef_saved);
    s.cdgh = _mm_add_epi32(s.cdgh, cdgh_saved);
  }
  const __m128i feba = _mm_shuffle_epi32(s.abef, 0x1B);
  const __m128i dchg = _mm_shuffle_epi32(s.cdgh, 0xB1);
  _mm_storeu_si128(reinterpret_cast<__m128i*>(state), _mm_blend_epi16(feba, dchg, 0xF0));
  _mm_storeu_si128(reinterpret_cast<__m128i*>(state + 4), _mm_alignr_epi8(dchg, feba, 8));
}

}  // namespace store::detail

#endif
