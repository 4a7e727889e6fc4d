// Running the git program: the one place that calls the host's subprocess.run,
// and the one table of how long each kind of run may take.
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <iterator>
#include <type_traits>
#include <vector>

#include "core/service.h"
#include "host/host.h"

namespace core::git {

using core::Service;
using host::Ref;

// A git command line: "git", then fixed words in order, then values the
// caller supplied. A caller's value that begins with "-" would be read by git
// as an option (`git log --output=FILE` writes a file), so a command holding
// one is refused: it never runs, and reads as a failed run.
class Command {
 public:
  // ["git", words...]
  explicit Command(std::initializer_list<const char*> words);
  // Appends a fixed word made at run time (such as "--max-count=5").
  Command& word(Ref text);
  // Appends a value that came from the caller or from git's own output.
  Command& value(PyObject* text);

  bool refused() const { return refused_; }
  // The argument list as a new host list.
  Ref argv() const;

 private:
  std::vector<Ref> parts_;
  bool refused_ = false;
};

// The outcome of one run: the host's completed-process object, or a refusal.
class Result {
 public:
  static Result refused() { return Result(Ref()); }
  explicit Result(Ref completed) : completed_(std::move(completed)) {}

  // result.returncode == 0 (False for a refused command).
  bool ok() const;
  // result.stdout / result.stderr ("" for a refused command).
  Ref stdout_() const;
  Ref stderr_() const;

 private:
  Ref completed_;
};

// Each kind of git run, for its time limit.
enum class Limit : std::uint8_t {
  CommitCount,
  MergeBase,
  BranchListing,
  CurrentBranch,
  TagListing,
  TagMessage,
  TagNames,
  DecorationLog,
  Status,
  StagedPaths,
  CommitDiff,
  StashList,
  StashBranch,
  StashTime,
  StashShow,
};

struct Timeout {
  Limit limit;
  int seconds;
};

// How long each kind of git run may take, in seconds: subprocess.run's
// `timeout`. A run that takes longer raises TimeoutExpired, which each method
// handles as it handles git failing to run.
inline constexpr Timeout kTimeouts[] = {
    {Limit::CommitCount, 10},   // rev-list --count of a branch, and the merge-base before it
    {Limit::MergeBase, 5},      // merge-base of a branch and its base branch
    {Limit::BranchListing, 5},  // for-each-ref of the local or the remote branches
    {Limit::CurrentBranch, 2},  // symbolic-ref of a branch that has no commit yet
    {Limit::TagListing, 120},   // for-each-ref of every tag, which may number tens of thousands
    {Limit::TagMessage, 1},     // cat-file of one annotated tag whose subject is empty
    {Limit::TagNames, 10},      // tag -l, the names-only fallback of the tag listing
    {Limit::DecorationLog, 5},  // log of the commits a history page decorates
    {Limit::Status, 10},        // status --porcelain of the working tree
    {Limit::StagedPaths, 5},    // diff --cached --name-only beside the status
    {Limit::CommitDiff, 10},    // show of one commit's patch
    {Limit::StashList, 5},      // stash list
    {Limit::StashBranch, 2},    // rev-parse of HEAD for a stash that names no branch
    {Limit::StashTime, 2},      // show -s of one stash's author time
    {Limit::StashShow, 5},      // stash show of one stash's summary or patch
};

// The table has one row per kind of run, in the order Limit declares them.
constexpr bool timeouts_in_order() {
  for (std::size_t row = 0; row < std::size(kTimeouts); ++row) {
    if (kTimeouts[row].limit != static_cast<Limit>(row)) return false;
  }
  return std::size(kTimeouts) == static_cast<std::size_t>(Limit::StashShow) + 1;
}
static_assert(timeouts_in_order());

// The seconds a kind of run may take.
constexpr int seconds(Limit limit) { return kTimeouts[static_cast<std::size_t>(limit)].seconds; }

// What a run's output is read as: text; bytes (the tag listing, decoded
// later line by line); or text that is only shown, read with
// errors="replace" so that bytes which do not decode arrive as U+FFFD instead
// of failing the run (runs given a working directory only).
enum class Output : std::uint8_t { Text, Bytes, ShownText };

// What every git run of one method call shares: the `subprocess` module the
// method imported, the directory git runs in, and the limits above.
class Runner {
 public:
  // Imports subprocess, as the methods do on entry. Each run's working
  // directory is str(self.repo_path), read when that run starts: host code
  // run between two runs (a replaced subprocess.run) may change the field.
  explicit Runner(Service& self);

  // The same runner with every run in `directory`, read once by the caller.
  Runner in(Ref directory) const;
  // The same runner passing no working directory: git runs in the process's
  // own, which the caller has changed to the root (see in_directory).
  Runner in_current_directory() const;

  // subprocess.run(argv, capture_output=True, text=..., [errors="replace",]
  // timeout=..., cwd=...), the keyword arguments in that order and `cwd` left
  // out when running in the current directory. A non-zero exit does not
  // raise; a refused command does not run and reads as a failed run.
  Result run(const Command& command, Limit limit, Output output = Output::Text) const;

  // The subprocess module (for its TimeoutExpired).
  PyObject* subprocess() const { return subprocess_.get(); }

 private:
  Runner(Ref subprocess, Service* self, Ref directory);
  // The cwd of a run starting now; null for the process's own.
  Ref directory() const;

  Ref subprocess_;
  Service* self_;  // the root is read from here when set ...
  Ref directory_;  // ... and is this directory otherwise (null: none)
};

// Runs `body` with the process's current directory changed to `directory`,
// as `original = os.getcwd(); os.chdir(directory); try: body() finally:
// os.chdir(original)`. The directory is changed back however `body` ends; a
// failure to change back raises (with the body's own error as its context).
// A failure of getcwd or of the first chdir leaves the directory unchanged.
template <class Body>
auto in_directory(PyObject* os, PyObject* directory, Body&& body) -> decltype(body());

// Restores `original` as the current directory during the `finally` of
// in_directory while the body's exception, if any, is pending.
void change_back(PyObject* os, PyObject* original, bool body_failed);

template <class Body>
auto in_directory(PyObject* os, PyObject* directory, Body&& body) -> decltype(body()) {
  static const host::Interned getcwd{"getcwd"};
  static const host::Interned chdir{"chdir"};
  Ref original = host::call_method(os, getcwd, {});
  host::call_method(os, chdir, {directory});
  try {
    if constexpr (std::is_void_v<decltype(body())>) {
      body();
      change_back(os, original.get(), false);
    } else {
      auto result = body();
      change_back(os, original.get(), false);
      return result;
    }
  } catch (...) {
    change_back(os, original.get(), true);
    throw;
  }
}

}  // namespace core::git
