#include "store/declines.h"

#include <algorithm>

namespace store {

namespace {

thread_local Declines* current = nullptr;

bool same_reason(const Decline& a, const Decline& b) {
  return a.reason == b.reason && a.has_number == b.has_number && a.number == b.number;
}

std::uint64_t mix(std::uint64_t hash, std::uint64_t value) {
  // splitmix64's finaliser over the running hash and the next value.
  std::uint64_t z = hash ^ (value + 0x9E3779B97F4A7C15ull + (hash << 6) + (hash >> 2));
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
  return z ^ (z >> 31);
}

}  // namespace

Declines::Scope::Scope(Declines& declines) : previous_(current) { current = &declines; }

Declines::Scope::~Scope() { current = previous_; }

void Declines::note(const Decline& decline) {
  Declines* declines = current;
  if (declines == nullptr || decline.reason == nullptr) return;
  std::vector<Decline>& all = declines->all_;
  // A file's reason stands for the same reason of the call that follows
  // from it (the reads that meet a refused pack): one is enough.
  const auto same = std::find_if(all.begin(), all.end(), [&](const Decline& kept) {
    return same_reason(kept, decline) && (kept.file == decline.file || decline.file == 0);
  });
  if (same != all.end()) return;
  all.push_back(decline);
}

void note_refused_file(const Outcome& why, const platform::FileIdentity& identity) {
  Declines::note({why.reason(), why.number(), why.has_number(), fingerprint(identity)});
}

std::uint64_t fingerprint(const platform::FileIdentity& identity) {
  std::uint64_t hash = 0;
  for (const std::uint64_t value :
       {identity.device, identity.inode, identity.size, static_cast<std::uint64_t>(identity.mtime_ns),
        static_cast<std::uint64_t>(identity.ctime_ns)}) {
    hash = mix(hash, value);
  }
  return hash == 0 ? 1 : hash;
}

}  // namespace store
