// Why the store left reads to dulwich, gathered for one method call.
//
// Whoever serves a call (the host's method entry) makes a Declines and holds
// a Declines::Scope around the call's work on its thread; the store notes
// each decline there as it gives one: a Declined outcome at the store's
// door, a walk that stops, a file the store will not use. Where nobody
// gathers (a worker thread, a test of the store alone), noting costs a
// thread-local read and nothing else. Each reason is kept once per call.
//
// A reason about one file (a commit-graph or pack the store refuses) carries
// its file's fingerprint, so that whoever reports it can do so once per file
// identity rather than on every call.
#pragma once

#include <cstdint>
#include <vector>

#include "platform/files.h"
#include "store/outcome.h"

namespace store {

struct Decline {
  const char* reason;  // a string literal; "{}" stands for `number`
  std::uint32_t number;
  bool has_number;
  std::uint64_t file;  // the refused file's fingerprint, or 0 for a reason of the call
};

class Declines {
 public:
  // Makes `declines` the current gathering of this thread until destroyed;
  // the one current before comes back then (calls may nest).
  class Scope {
   public:
    explicit Scope(Declines& declines);
    ~Scope();
    Scope(const Scope&) = delete;
    Scope& operator=(const Scope&) = delete;

   private:
    Declines* previous_;
  };

  const std::vector<Decline>& all() const { return all_; }
  bool empty() const { return all_.empty(); }

  // For the current gathering of this thread, if any.
  static void note(const Decline& decline);

 private:
  std::vector<Decline> all_;
};

// Notes the reason of a Declined outcome for the current call (nothing for
// Found or Missing), and gives the outcome back.
inline Outcome note_decline(Outcome outcome) {
  if (outcome == Outcome::Declined) Declines::note({outcome.reason(), outcome.number(), outcome.has_number(), 0});
  return outcome;
}

// Notes a reason of the call that is no Outcome (a walk that stops).
inline void note_decline(const char* reason) { Declines::note({reason, 0, false, 0}); }

// Notes why the store will not use the file of `identity`.
void note_refused_file(const Outcome& why, const platform::FileIdentity& identity);
inline void note_refused_file(const char* reason, const platform::FileIdentity& identity) {
  note_refused_file(Outcome::declined(reason), identity);
}

// A number that tells file identities apart (never 0).
std::uint64_t fingerprint(const platform::FileIdentity& identity);

}  // namespace store
