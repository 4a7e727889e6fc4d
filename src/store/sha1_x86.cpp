// SHA-1 blocks with the x86 SHA extensions. This unit alone is compiled with
// -msha -msse4.1; it runs only after Sha1 has checked the processor.
#include "store/sha1.h"

#if defined(__x86_64__)

#include <immintrin.h>

#include <utility>

namespace store::detail {

namespace {

struct Lanes {
  __m128i abcd, e0, e1, msg[4];
};

// Rounds 4k .. 4k+3. Groups 0-3 load the block's words; later groups
// derive theirs from earlier ones with the schedule instructions.
template <int k>
inline void rounds(Lanes& s) {
  __m128i& e_now = (k % 2 == 0) ? s.e0 : s.e1;
  __m128i& e_next = (k % 2 == 0) ? s.e1 : s.e0;
  if constexpr (k == 0) {
    e_now = _mm_add_epi32(e_now, s.msg[0]);
  } else {
    e_now = _mm_sha1nexte_epu32(e_now, s.msg[k % 4]);
  }
  e_next = s.abcd;
  if constexpr (k >= 3 && k + 1 <= 19) s.msg[(k + 1) % 4] = _mm_sha1msg2_epu32(s.msg[(k + 1) % 4], s.msg[k % 4]);
  s.abcd = _mm_sha1rnds4_epu32(s.abcd, e_now, k / 5);
  if constexpr (k >= 1 && k + 3 <= 19) s.msg[(k + 3) % 4] = _mm_sha1msg1_epu32(s.msg[(k + 3) % 4], s.msg[k % 4]);
  if constexpr (k >= 2 && k + 2 <= 19) s.msg[(k + 2) % 4] = _mm_xor_si128(s.msg[(k + 2) % 4], s.msg[k % 4]);
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

void sha1_blocks_hardware(std::uint32_t state[5], const std::uint8_t* data, std::size_t blocks) {
  const __m128i mask = _mm_set_epi64x(0x0001020304050607LL, 0x08090a0b0c0d0e0fLL);
  Lanes s;
  s.abcd = _mm_shuffle_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(state)), 0x1B);
  s.e0 = _mm_set_epi32(static_cast<int>(state[4]), 0, 0, 0);
  s.e1 = _mm_setzero_si128();
  for (; blocks != 0; --blocks, data += 64) {
    const __m128i abcd_saved = s.abcd;
    const __m128i e0_saved = s.e0;
    all_rounds(s, data, mask, std::make_integer_sequence<int, 20>{});
    s.e0 = _mm_sha1nexte_epu32(s.e0, e0_saved);
    s.abcd = _mm_add_epi32(s.abcd, abcd_saved);
  }
  _mm_storeu_si128(reinterpret_cast<__m128i*>(state), _mm_shuffle_epi32(s.abcd, 0x1B));
  state[4] = static_cast<std::uint32_t>(_mm_extract_epi32(s.e0, 3));
}

}  // namespace store::detail

#endif
