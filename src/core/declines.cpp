#include "core/declines.h"

#include <mutex>
#include <string>
#include <unordered_set>

namespace core {

namespace {

// Fingerprints of the files whose refusal was logged: each once per process
// (a bounded number, forgotten all at once when full).
constexpr std::size_t kMostFilesRemembered = 4096;

bool first_report_of(std::uint64_t file) {
  static std::mutex lock;
  static auto* logged = new std::unordered_set<std::uint64_t>();  // never destroyed: calls may outlive teardown
  const std::lock_guard<std::mutex> hold(lock);
  if (logged->count(file) != 0) return false;
  if (logged->size() >= kMostFilesRemembered) logged->clear();
  logged->insert(file);
  return true;
}

}  // namespace

void DeclineReport::report() noexcept {
  const char* method = host::running_function();
  host::aside_from_pending_exception([&] {
    const host::Logger logger(kLoggerName);
    if (!logger.debug_enabled()) return;
    for (const store::Decline& decline : declines_.all()) {
      if (decline.file != 0 && !first_report_of(decline.file)) continue;
      logger.debug("%s: %s", {method == nullptr ? "" : method,
                              store::reason_text(decline.reason, decline.has_number, decline.number)});
    }
  });
}

}  // namespace core
