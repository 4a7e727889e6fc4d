#include "status/scan_hashing.h"

namespace status {

HashingAhead::HashingAhead(const ScanContext& scan, IndexEntries& index) : index_(index) {
  if (!scan.native_blobs) return;
  std::vector<IndexEntry>& entries = index_.entries();
  jobs_.resize(entries.size());
  for (std::size_t i = 0; i < entries.size(); ++i) {
    IndexEntry& item = entries[i];
    // An index path names the file root/key where file names are UTF-8.
    std::string_view path = item.key;
    if (!scan.fs_utf8) {
      const std::string full = item.file_path(scan);
      path = full.empty() ? std::string_view() : job_paths_.emplace_back(full, scan.root.size() + 1);
    }
    jobs_[i] = {path, item.vouches ? item.stored : nullptr, {}};
  }
  hasher_.emplace(scan.root, scan.objects.format(), jobs_);
}

void HashingAhead::finish() {
  if (!hasher_) return;
  core::without_gil([&] { hasher_->finish(); });
  hasher_.reset();
  std::vector<IndexEntry>& entries = index_.entries();
  for (std::size_t i = 0; i < entries.size(); ++i) entries[i].hashed = jobs_[i].hash;
  jobs_ = std::vector<worktree::HashJob>();
  job_paths_.clear();
}

}  // namespace status
