#include "store/outcome.h"

#include <cstring>

namespace store {

std::string reason_text(const char* reason, bool has_number, std::uint32_t number) {
  if (reason == nullptr) return {};
  std::string text(reason);
  const std::size_t slot = text.find("{}");
  if (slot != std::string::npos) text.replace(slot, 2, has_number ? std::to_string(number) : std::string("?"));
  return text;
}

}  // namespace store
