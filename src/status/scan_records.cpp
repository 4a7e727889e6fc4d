#include "status/scan_records.h"

#include <algorithm>
#include <string_view>
#include <unordered_map>

#include "core/records.h"

namespace status {

using host::Ref;

namespace {

// A later finding of the same path folded into the first one's.
void merge(Finding& existing, Finding& later) {
  if (existing.staged != later.staged) {
    existing.path = std::move(later.path);
    existing.change = Change::Modified;
    existing.staged = true;
    existing.unstaged = true;
  } else if (later.change == Change::Modified || existing.change != Change::Modified) {
    existing.path = std::move(later.path);
    existing.change = later.change;
    existing.unstaged = later.unstaged;
  }
}

}  // namespace

Ref Findings::records() {
  std::stable_sort(findings_.begin(), findings_.end(),
                   [](const Finding& a, const Finding& b) { return a.step < b.step; });
  std::vector<Finding> merged;
  std::unordered_map<std::string_view, std::size_t> slot;
  merged.reserve(findings_.size());  // keeps the keys' views valid
  for (Finding& finding : findings_) {
    auto found = slot.find(finding.key);
    if (found == slot.end()) {
      merged.push_back(std::move(finding));
      slot.emplace(merged.back().key, merged.size() - 1);
    } else {
      merge(merged[found->second], finding);
    }
  }
  // UTF-8 byte order is code-point order.
  std::stable_sort(merged.begin(), merged.end(), [](const Finding& a, const Finding& b) { return a.key < b.key; });
  const core::RecordMaker file_status(core::Record::FileStatus);
  Ref list = Ref::check(PyList_New(static_cast<Py_ssize_t>(merged.size())));
  for (std::size_t i = 0; i < merged.size(); ++i) {
    const Finding& finding = merged[i];
    Ref record = file_status.make({finding.path.get(), status_word(finding.change).get(), host::boolean(finding.staged),
                                   host::boolean(finding.unstaged)});
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), record.release());
  }
  return list;
}

}  // namespace status
