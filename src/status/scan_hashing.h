// The scan's hashing pass: every indexed file read and hashed on worker
// threads while the other passes run.
#pragma once

#include <deque>
#include <optional>
#include <string>
#include <vector>

#include "status/scan_context.h"
#include "status/scan_index.h"
#include "status/worktree.h"

namespace status {

// Reads and hashes every indexed file ahead of the passes, on as many threads
// as the machine has cores, without the GIL: a working tree of tens of
// thousands of files is read in a fraction of the time, while HEAD is read
// (and the tree walked). A file whose stat data is still what the index
// recorded is taken to hold the entry's content, as git takes it, and not
// read. A file that cannot be read this way is left to the passes, which read
// it as before. Nothing is hashed ahead where blobs are hashed through the
// library.
class HashingAhead {
 public:
  // Starts hashing the files of `index`, which must outlive the hashing and
  // keep its entries until finish().
  HashingAhead(const ScanContext& scan, IndexEntries& index);
  // Whether the files are still being hashed: each entry's `hashed` is set
  // once they are.
  bool running() const { return hasher_.has_value(); }
  // Waits for the last file and gives each entry its file's hash.
  void finish();

 private:
  IndexEntries& index_;
  // One job per index entry; the paths of jobs whose entry's key is not
  // the file's name.
  std::vector<worktree::HashJob> jobs_;
  std::deque<std::string> job_paths_;
  std::optional<worktree::FileHasher> hasher_;  // last, so that it stops first
};

}  // namespace status
