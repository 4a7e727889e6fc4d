#include "history/id_set.h"

namespace history {

bool ContentSet::pack(std::string_view content, store::ObjectId& id) {
  // Uppercase digits spell the same id but are another string: kept as
  // they are.
  const std::optional<store::HashFormat> format = store::format_of_hex_size(content.size());
  if (!format || !store::is_hex_id(content, *format)) return false;
  id = *store::ObjectId::from_hex(content, *format);
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
