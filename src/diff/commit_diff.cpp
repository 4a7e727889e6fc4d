// The patch of one commit, from `git show`.
#include <string_view>

#include "core/git.h"
#include "core/ids.h"
#include "diff/diff.h"

namespace diff {

namespace {

namespace git = core::git;

// The digits of a SHA-1 id, and of a SHA-256 one.
constexpr Py_ssize_t kIdLength = 40;
constexpr Py_ssize_t kLongIdLength = 64;

bool is_full_hex_id(const host::Text& id, Py_ssize_t length) {
  if (id.size() != length) return false;
  for (Py_ssize_t i = 0; i < id.size(); ++i) {
    if (!core::is_hex_digit(id[i])) return false;
  }
  return true;
}

// The first run of hexadecimal digits as long as `pattern` asks in `id`,
// found by the host's own re.search so that every caller's text is read the
// same way; null when there is none.
Ref find_embedded_id(PyObject* re, PyObject* id, const host::Interned& pattern) {
  static const host::Interned search{"search"};
  static const host::Interned group{"group"};
  Ref match = host::call_method(re, search, {pattern.get(), id});
  if (match.get() == Py_None) return Ref();
  Ref whole = host::integer(0);
  return host::call_method(match.get(), group, {whole.get()});
}

// lead + id[:8] + tail + "\n": every failure text once the id is known names
// the commit by its first 8 digits.
Ref failure_text(std::string_view lead, const Ref& id, std::initializer_list<PyObject*> tail) {
  Ref head = host::text(lead);
  Ref short_id = host::Text(id.get()).slice(0, 8).str();
  Ref newline = host::text("\n");
  Ref details = host::concat(tail);
  return host::concat({head.get(), short_id.get(), details.get(), newline.get()});
}

// The output from the first file diff on: the commit header and message that
// git prints before it are not part of the patch. Without any file diff (a
// commit that changes no file) the whole output is the answer.
Ref from_first_file_diff(Ref output) {
  host::Text text(output.get());
  const Py_ssize_t at = text.find("diff --git");
  return at == host::Text::npos ? std::move(output) : text.slice(at).str();
}

// The text of a failed `git show`: git's own message, cut short, or
// "Unknown error" when git said nothing at all.
Ref git_failure_text(const Ref& id, const git::Result& result) {
  Ref stderr_text = result.stderr_();
  Ref detail = host::truthy(stderr_text.get()) ? host::strip(stderr_text.get()) : host::text("Unknown error");
  Ref cut = host::Text(detail.get()).slice(0, 100).str();
  Ref failed = host::text(". git show failed: ");
  return failure_text("Error: Could not get diff for commit ", id, {failed.get(), cut.get()});
}

// The commit id a caller's text holds, or null when it holds none: the text
// itself when it is a whole id, else its first run of 40 digits. In a SHA-256
// repository a whole id has 64 digits, and a run of 64 is taken before one of
// 40 (which git resolves as an abbreviation, as it would a shorter one).
Ref commit_id_in(Service& self, PyObject* re, PyObject* text) {
  static const host::Interned id_digits{"[0-9a-fA-F]{40}"};
  static const host::Interned long_id_digits{"[0-9a-fA-F]{64}"};
  if (is_full_hex_id(host::Text(text), kIdLength)) return Ref::borrow(text);
  core::IdFormat format(self);
  if (format.long_ids()) {
    if (is_full_hex_id(host::Text(text), kLongIdLength)) return Ref::borrow(text);
    if (Ref embedded = find_embedded_id(re, text, long_id_digits)) return embedded;
  }
  return find_embedded_id(re, text, id_digits);
}

}  // namespace

Ref get_commit_diff(Service& self, PyObject* sha_hex) {
  const git::Runner git_runner(self);
  Ref re = host::import("re");

  Ref stripped = host::strip(host::str(sha_hex).get());
  Ref id = commit_id_in(self, re.get(), stripped.get());
  if (!id) {
    Ref head = host::text("Error: Invalid SHA format: ");
    Ref shown = host::Text(stripped.get()).slice(0, 20).str();
    Ref tail = host::text("...\n");
    return host::concat({head.get(), shown.get(), tail.get()});
  }
  id = host::lower(id.get());

  try {
    git::Command command{"show"};
    command.value(id.get()).word(host::text("--no-color"));
    git::Result result = git_runner.run(command, git::Limit::CommitDiff, git::Output::ShownText);
    if (result.ok()) return from_first_file_diff(result.stdout_());
    return git_failure_text(id, result);
  } catch (const host::Error&) {
    // TimeoutExpired is an Exception, so catching Exception first and then
    // telling the timeout apart answers as the two handlers in turn would.
    Ref error = host::except_as({PyExc_Exception});
    static const host::Interned timeout_expired{"TimeoutExpired"};
    Ref timeout_class = host::getattr(git_runner.subprocess(), timeout_expired);
    if (PyErr_GivenExceptionMatches(error.get(), timeout_class.get())) {
      return failure_text("Error: Timeout getting diff for commit ", id, {});
    }
    static const host::Interned name{"__name__"};
    Ref class_name = host::getattr(reinterpret_cast<PyObject*>(Py_TYPE(error.get())), name);
    Ref exception = host::text(". Exception: ");
    return failure_text("Error: Could not get diff for commit ", id, {exception.get(), class_name.get()});
  }
}

}  // namespace diff
