#include "store/recent_objects.h"

#include <list>
#include <mutex>
#include <unordered_map>
#include <vector>

namespace store {

namespace {

// Enough for many pages of a history and the trees of a working tree; small
// beside the packs a repository maps.
constexpr std::size_t kBudget = std::size_t{8} << 20;
constexpr std::size_t kLargestKept = std::size_t{64} << 10;
// What an entry costs besides its content: nodes, key and bookkeeping.
constexpr std::size_t kEntryCost = 128;

struct KeyHash {
  std::size_t operator()(const RecentKey& key) const noexcept {
    return ObjectIdHash{}(key.id) ^ (key.index.inode * 0x9E3779B97F4A7C15ull) ^ key.pack.inode;
  }
};

struct Entry {
  RecentKey key;
  ObjectType type;
  std::vector<std::uint8_t> content;
};

struct Recent {
  std::mutex lock;
  std::list<Entry> entries;  // most recently used first
  std::unordered_map<RecentKey, std::list<Entry>::iterator, KeyHash> index;
  std::size_t bytes = 0;
};

Recent& recent() {
  static Recent* kept = new Recent;  // never destroyed: stores may outlive static teardown
  return *kept;
}

}  // namespace

bool find_recent(const RecentKey& key, ObjectType& type, Buffer& content) {
  Recent& kept = recent();
  std::lock_guard<std::mutex> hold(kept.lock);
  auto found = kept.index.find(key);
  if (found == kept.index.end()) return false;
  kept.entries.splice(kept.entries.begin(), kept.entries, found->second);
  type = found->second->type;
  content.assign(found->second->content.data(), found->second->content.size());
  return true;
}

void keep_recent(const RecentKey& key, ObjectType type, const Buffer& content) {
  if (content.size() > kLargestKept) return;
  Entry entry{key, type, std::vector<std::uint8_t>(content.data(), content.data() + content.size())};
  Recent& kept = recent();
  std::lock_guard<std::mutex> hold(kept.lock);
  if (kept.index.count(key) != 0) return;
  kept.bytes += entry.content.size() + kEntryCost;
  kept.entries.push_front(std::move(entry));
  kept.index.emplace(key, kept.entries.begin());
  while (kept.bytes > kBudget) {
    const Entry& oldest = kept.entries.back();
    kept.bytes -= oldest.content.size() + kEntryCost;
    kept.index.erase(oldest.key);
    kept.entries.pop_back();
  }
}

void clear_recent() {
  Recent& kept = recent();
  std::lock_guard<std::mutex> hold(kept.lock);
  kept.index.clear();
  kept.entries.clear();
  kept.bytes = 0;
}

}  // namespace store
