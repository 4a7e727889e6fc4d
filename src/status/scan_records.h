// The scan's last pass: what the passes found of each path, merged into one
// record per path and sorted by path.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "host/host.h"
#include "status/file_status.h"

namespace status {

// What a pass found of one path, in the passes' order: the index pass's
// findings first (step 0), then the walk's by its steps.
struct Finding {
  std::string key;  // the path's UTF-8 key
  host::Ref path;
  Change change;
  bool staged;
  bool unstaged;
  std::uint32_t step;
};

class Findings {
 public:
  void add(std::string key, host::Ref path, Change change, bool staged, bool unstaged, std::uint32_t step = 0) {
    findings_.push_back({std::move(key), std::move(path), change, staged, unstaged, step});
  }

  // The FileStatus records, one per path, sorted by path: a path's staged and
  // unstaged findings make it "modified" on both sides; otherwise "modified"
  // wins, then the later finding.
  host::Ref records();

 private:
  std::vector<Finding> findings_;
};

}  // namespace status
