#include "store/object_id.h"

namespace store {

namespace {

int hex_value(char ch) {
  if (ch >= '0' && ch <= '9') return ch - '0';
  if (ch >= 'a' && ch <= 'f') return ch - 'a' + 10;
  if (ch >= 'A' && ch <= 'F') return ch - 'A' + 10;
  return -1;
}

}  // namespace

void ObjectId::hex_into(char* out) const {
  static constexpr char kDigits[] = "0123456789abcdef";
  for (std::size_t i = 0; i < 20; ++i) {
    out[2 * i] = kDigits[bytes[i] >> 4];
    out[2 * i + 1] = kDigits[bytes[i] & 15];
  }
}

std::string ObjectId::hex() const {
  std::string text(40, '0');
  hex_into(text.data());
  return text;
}

std::optional<ObjectId> ObjectId::from_hex(std::string_view text) {
  if (text.size() != 40) return std::nullopt;
  ObjectId id;
  for (std::size_t i = 0; i < 20; ++i) {
    const int high = hex_value(text[2 * i]);
    const int low = hex_value(text[2 * i + 1]);
    if (high < 0 || low < 0) return std::nullopt;
    id.bytes[i] = static_cast<std::uint8_t>(high << 4 | low);
  }
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
