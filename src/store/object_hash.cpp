#include "store/object_hash.h"

#include <cstring>

namespace store {

namespace {

std::variant<Sha1, Sha256> engine_for(HashFormat format) {
  if (format == HashFormat::Sha1) return Sha1();
  return Sha256();
}

}  // namespace

Hasher::Hasher(HashFormat format) : engine_(engine_for(format)) {}

void Hasher::update(const void* data, std::size_t size) {
  std::visit([&](auto& engine) { engine.update(data, size); }, engine_);
}

ObjectId Hasher::finish() {
  if (Sha1* sha1 = std::get_if<Sha1>(&engine_)) return sha1->finish();
  ObjectId id;
  id.format = HashFormat::Sha256;
  std::get<Sha256>(engine_).finish(id.bytes.data());
  return id;
}

ObjectId object_id(HashFormat format, ObjectType type, const void* content, std::size_t size) {
  char header[32];
  const std::string_view name = type_name(type);
  std::memcpy(header, name.data(), name.size());
  std::size_t length = name.size();
  header[length++] = ' ';
  char digits[24];
  int count = 0;
  std::size_t value = size;
  do {
    digits[count++] = static_cast<char>('0' + value % 10);
    value /= 10;
  } while (value != 0);
  while (count != 0) header[length++] = digits[--count];
  header[length++] = '\0';
  Hasher hasher(format);
  hasher.update(header, length);
  hasher.update(content, size);
  return hasher.finish();
}

}  // namespace store
