// The store's declines reported through the host's logging: each method
// call gathers why the store left its reads to dulwich, and at its end, if
// anything was left and the logger "git_service_cython" is enabled for
// DEBUG, logs each reason once, with the method's name. A reason about one
// file (a commit-graph or pack the store refuses) is logged once per file
// identity in the process, not on every call. A call that left nothing to
// dulwich asks the logger nothing.
#pragma once

#include "host/host.h"
#include "store/declines.h"

namespace core {

// The logger's name, the module's own.
inline constexpr const char* kLoggerName = "git_service_cython";

// Gathers the declines of the current thread while it lives, and reports
// them when it goes (the call returning or raising; a pending host exception
// is kept as it is).
class DeclineReport {
 public:
  DeclineReport() : gathering_(declines_) {}
  ~DeclineReport() {
    if (!declines_.empty()) report();
  }
  DeclineReport(const DeclineReport&) = delete;
  DeclineReport& operator=(const DeclineReport&) = delete;

 private:
  void report() noexcept;

  store::Declines declines_;
  store::Declines::Scope gathering_;
};

// A method body `B` whose declines are reported.
template <host::Body B>
host::Ref reporting_declines(PyObject* self, const host::Args& args) {
  const DeclineReport report;
  return B(self, args);
}

}  // namespace core
