#include "history/id_set.h"

namespace history {

namespace {

// The value of a lowercase hexadecimal digit, or -1.
int digit_value(char ch) {
  if (ch >= '0' && ch <= '9') return ch - '0';
  if (ch >= 'a' && ch <= 'f') return ch - 'a' + 10;
  return -1;
}

}  // namespace

bool ContentSet::pack(std::string_view content, store::ObjectId& id) {
  const std::optional<store::HashFormat> format = store::format_of_hex_size(content.size());
  if (!format) return false;
  id.format = *format;
  for (std::size_t i = 0; i < id.size(); ++i) {
    const int high = digit_value(content[2 * i]);
    const int low = digit_value(content[2 * i + 1]);
    if (high < 0 || low < 0) return false;
    id.bytes[i] = static_cast<std::uint8_t>(high << 4 | low);
  }
  return true;
}

bool ContentSet::insert(std::string_view content) {
  store::ObjectId packed;
  if (pack(content, packed)) return packed_.insert(packed);
  return other_.emplace(content).second;
}

bool ContentSet::contains(std::string_view content) const {
  store::ObjectId packed;
  if (pack(content, packed)) return packed_.contains(packed);
  return other_.find(content) != other_.end();
}

void ContentSet::clear() {
  packed_.clear();
  other_ = {};
}

}  // namespace history
