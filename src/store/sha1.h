// SHA-1, incremental, with the processor's SHA instructions where it has them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "store/block_hash.h"
#include "store/object_id.h"

namespace store {

class Sha1 {
 public:
  enum class Engine : std::uint8_t { Best, Portable };

  // `Portable` forces the plain implementation (tests compare the two).
  explicit Sha1(Engine engine = Engine::Best);
  void update(const void* data, std::size_t size) { hash_.update(data, size); }
  void update(std::string_view text) { update(text.data(), text.size()); }
  // The digest; the object must not be updated afterwards.
  ObjectId finish();

  // True when this processor runs the SHA-instruction engine.
  static bool hardware_available();

 private:
  detail::BlockHash<5> hash_;
};

namespace detail {
void sha1_blocks_portable(std::uint32_t state[5], const std::uint8_t* data, std::size_t blocks);
// Defined only on x86-64, in a unit compiled for the SHA extensions.
void sha1_blocks_hardware(std::uint32_t state[5], const std::uint8_t* data, std::size_t blocks);
}  // namespace detail

}  // namespace store
