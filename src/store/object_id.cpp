#include "store/object_id.h"

#include <array>

namespace store {

namespace {

// The value of each hexadecimal digit (either case), 0xFF for any other byte:
// ids are read by the hundred thousand, a table beats a chain of tests.
constexpr std::array<std::uint8_t, 256> kHexValues = [] {
  std::array<std::uint8_t, 256> values{};
  values.fill(0xFF);
  for (int digit = 0; digit < 10; ++digit) values['0' + digit] = static_cast<std::uint8_t>(digit);
  for (int digit = 0; digit < 6; ++digit) {
    values['a' + digit] = static_cast<std::uint8_t>(10 + digit);
    values['A' + digit] = static_cast<std::uint8_t>(10 + digit);
  }
  return values;
}();

constexpr std::array<bool, 256> kLowerHex = [] {
  std::array<bool, 256> table{};
  for (const unsigned char ch : std::string_view("0123456789abcdef")) table[ch] = true;
  return table;
}();

}  // namespace

std::optional<HashFormat> format_of_hex_size(std::size_t digits) {
  if (digits == hex_size(HashFormat::Sha1)) return HashFormat::Sha1;
  if (digits == hex_size(HashFormat::Sha256)) return HashFormat::Sha256;
  return std::nullopt;
}

bool is_hex_id(std::string_view digits, HashFormat format) {
  if (digits.size() != hex_size(format)) return false;
  bool all = true;
  for (const char ch : digits) all &= kLowerHex[static_cast<unsigned char>(ch)];
  return all;
}

bool is_any_hex_id(std::string_view digits) {
  const std::optional<HashFormat> format = format_of_hex_size(digits.size());
  return format && is_hex_id(digits, *format);
}

void ObjectId::hex_into(char* out) const {
  static constexpr char kDigits[] = "0123456789abcdef";
  for (std::size_t i = 0; i < size(); ++i) {
    out[2 * i] = kDigits[bytes[i] >> 4];
    out[2 * i + 1] = kDigits[bytes[i] & 15];
  }
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
  std::uint8_t invalid = 0;
  for (std::size_t i = 0; i < id.size(); ++i) {
    const std::uint8_t high = kHexValues[static_cast<unsigned char>(text[2 * i])];
    const std::uint8_t low = kHexValues[static_cast<unsigned char>(text[2 * i + 1])];
    invalid |= (high | low) & 0xF0;
    id.bytes[i] = static_cast<std::uint8_t>(high << 4 | (low & 0x0F));
  }
  if (invalid != 0) return std::nullopt;
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
