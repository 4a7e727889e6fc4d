#include "store/object_id.h"

#include <bit>
#include <cstdint>
#include <cstring>

namespace store {

namespace {

// Ids are read and written by the hundred thousand (pack indexes, commits,
// ref files, records), so their digits are handled eight bytes at a time in
// one 64-bit word ("SIMD within a register"), on every processor alike. Byte
// i of a word is the i-th byte in memory whatever the machine's byte order.

constexpr std::uint64_t kEachByte = 0x0101010101010101;
constexpr std::uint64_t kHighBits = 0x8080808080808080;

template <class Word>
Word little_endian(Word word) {
  if constexpr (std::endian::native == std::endian::big) {
    if constexpr (sizeof(Word) == 8) return __builtin_bswap64(word);
    if constexpr (sizeof(Word) == 4) return __builtin_bswap32(word);
  }
  return word;
}

std::uint64_t load_word(const void* at) {
  std::uint64_t word;
  std::memcpy(&word, at, sizeof word);
  return little_endian(word);
}

// For each byte below 0x80: its high bit set when the byte is at least
// `lowest`, and when it is at most `highest`. No byte's sum carries into the
// next (a byte of 0x80 or more has already failed, whatever the rest says).
constexpr std::uint64_t at_least(std::uint64_t word, std::uint8_t lowest) {
  return (word + kEachByte * (0x80 - lowest)) & kHighBits;
}
constexpr std::uint64_t at_most(std::uint64_t word, std::uint8_t highest) {
  return ~(word + kEachByte * (0x7F - highest)) & kHighBits;
}

// The high bit of each byte of `word` that is a letter "a"-"f" ("A"-"F" too
// when `either_case`); `fails` gains a bit where a byte is neither such a
// letter nor a digit "0"-"9".
std::uint64_t hex_letters(std::uint64_t word, bool either_case, std::uint64_t& fails) {
  const std::uint64_t digits = at_least(word, '0') & at_most(word, '9');
  // Setting 0x20 in every byte moves "A"-"F" onto "a"-"f", and no other
  // byte below 0x80 there.
  const std::uint64_t folded = either_case ? word | (kEachByte * 0x20) : word;
  const std::uint64_t letters = at_least(folded, 'a') & at_most(folded, 'f');
  fails |= (word & kHighBits) | (~(digits | letters) & kHighBits);
  return letters;
}

// The value of each hexadecimal digit of `word`, one per byte.
std::uint64_t digit_values(std::uint64_t word, std::uint64_t letters) {
  // A digit's value is its low four bits; a letter's is its low four bits
  // and nine ("a" and "A" have 1 there).
  return (word & (kEachByte * 0x0F)) + (letters >> 7) * 9;
}

// The four bytes that eight digit values (one per byte, in order) spell.
void pack_values(std::uint64_t values, std::uint8_t* out) {
  // Byte 2k takes value 2k in its high half and value 2k+1 in its low half;
  // the odd bytes are dropped.
  std::uint64_t pairs = ((values << 4) | (values >> 8)) & 0x00FF00FF00FF00FF;
  pairs = (pairs | (pairs >> 8)) & 0x0000FFFF0000FFFF;
  const auto bytes = little_endian(static_cast<std::uint32_t>(pairs | (pairs >> 16)));
  std::memcpy(out, &bytes, sizeof bytes);
}

// The eight lowercase digits of four bytes.
void spell_bytes(const std::uint8_t* in, char* out) {
  std::uint32_t four;
  std::memcpy(&four, in, sizeof four);
  std::uint64_t spread = little_endian(four);  // byte k at byte 2k
  spread = (spread | (spread << 16)) & 0x0000FFFF0000FFFF;
  spread = (spread | (spread << 8)) & 0x00FF00FF00FF00FF;
  constexpr std::uint64_t kLowHalves = 0x000F000F000F000F;
  const std::uint64_t values = ((spread >> 4) & kLowHalves) | ((spread & kLowHalves) << 8);
  // "0" + value, and 0x27 more ("a" - "0" - 10) for a value above 9.
  const std::uint64_t above_nine = ((values + kEachByte * 0x76) >> 7) & kEachByte;
  const std::uint64_t text = little_endian(values + kEachByte * '0' + above_nine * ('a' - '0' - 10));
  std::memcpy(out, &text, sizeof text);
}

}  // namespace

std::optional<HashFormat> format_of_hex_size(std::size_t digits) {
  if (digits == hex_size(HashFormat::Sha1)) return HashFormat::Sha1;
  if (digits == hex_size(HashFormat::Sha256)) return HashFormat::Sha256;
  return std::nullopt;
}

bool is_hex_id(std::string_view digits, HashFormat format) {
  if (digits.size() != hex_size(format)) return false;
  std::uint64_t fails = 0;
  for (std::size_t at = 0; at < digits.size(); at += 8) hex_letters(load_word(digits.data() + at), false, fails);
  return fails == 0;
}

bool is_any_hex_id(std::string_view digits) {
  const std::optional<HashFormat> format = format_of_hex_size(digits.size());
  return format && is_hex_id(digits, *format);
}

void ObjectId::hex_into(char* out) const {
  for (std::size_t at = 0; at < size(); at += 4) spell_bytes(bytes.data() + at, out + 2 * at);
}

std::string ObjectId::hex() const {
  std::string text(hex_size(format), '0');
  hex_into(text.data());
  return text;
}

std::optional<ObjectId> ObjectId::from_hex(std::string_view text) {
  const std::optional<HashFormat> format = format_of_hex_size(text.size());
  if (!format) return std::nullopt;
  return from_hex(text, *format);
}

std::optional<ObjectId> ObjectId::from_hex(std::string_view text, HashFormat format) {
  if (text.size() != hex_size(format)) return std::nullopt;
  ObjectId id;
  id.format = format;
  std::uint64_t fails = 0;
  for (std::size_t at = 0; at < text.size(); at += 8) {
    const std::uint64_t word = load_word(text.data() + at);
    pack_values(digit_values(word, hex_letters(word, true, fails)), id.bytes.data() + at / 2);
  }
  if (fails != 0) return std::nullopt;
  return id;
}

std::string_view type_name(ObjectType type) {
  switch (type) {
    case ObjectType::Commit:
      return "commit";
    case ObjectType::Tree:
      return "tree";
    case ObjectType::Blob:
      return "blob";
    case ObjectType::Tag:
      return "tag";
  }
  return "";
}

}  // namespace store
