// Running the git program: the one place that calls the host's subprocess.run.
#pragma once

#include <initializer_list>
#include <type_traits>
#include <vector>

#include "host/host.h"

namespace core::git {

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
// `replace_errors` passes errors="replace", for output that is only shown, so
// that bytes which do not decode arrive as U+FFFD instead of failing the run
// (runs with a `cwd` only);
// `cwd` null passes no working directory (the process's own is used).
struct Run {
  int timeout;
  PyObject* cwd;
  bool text = true;
  bool replace_errors = false;
};

// subprocess.run(argv, capture_output=True, text=..., [errors="replace",]
// timeout=..., cwd=...), the keyword arguments in that order and `cwd` left
// out when null. A non-zero exit does not raise; `subprocess` is the module
// the calling method imported.
Result run(PyObject* subprocess, const Command& command, const Run& how);

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
