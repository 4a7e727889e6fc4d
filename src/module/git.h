// Running the git program: the one place that calls the host's subprocess.run.
#pragma once

#include <initializer_list>
#include <vector>

#include "host/host.h"

namespace module::git {

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

// How a command runs. `text` false gives bytes output (the tag listing);
// `cwd` null passes no working directory (the process's own is used).
struct Run {
  int timeout;
  PyObject* cwd;
  bool text = true;
};

// subprocess.run(argv, capture_output=True, text=..., timeout=..., cwd=...),
// the keyword arguments in that order and `cwd` left out when null. A non-zero
// exit does not raise; `subprocess` is the module the calling method imported.
Result run(PyObject* subprocess, const Command& command, const Run& how);

}  // namespace module::git
