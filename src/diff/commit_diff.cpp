// The patch of one commit, from `git show`.
#include <string_view>

#include "core/git.h"
#include "core/ids.h"
#include "diff/diff.h"

namespace diff {

namespace {

namespace git = core::git;

constexpr Py_ssize_t kIdLength = 40;

bool is_full_hex_id(const host::Text& id) {
  if (id.size() != kIdLength) return false;
  for (Py_ssize_t i = 0; i < id.size(); ++i) {
    if (!core::is_hex_digit(id[i])) return false;
  }
  return true;
}

// The first run of 40 hexadecimal digits in `id`, found by the host's own
// re.search so that every caller's text is read the same way; null when there
// is none.
Ref find_embedded_id(PyObject* re, PyObject* id) {
  static const host::Interned search{"search"};
  static const host::Interned group{"group"};
  static const host::Interned pattern{"[0-9a-fA-F]{40}"};
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

}  // namespace

Ref get_commit_diff(Service& self, PyObject* sha_hex) {
  Ref subprocess = host::import("subprocess");
  Ref re = host::import("re");

  Ref id = host::strip(host::str(sha_hex).get());
  if (!is_full_hex_id(host::Text(id.get()))) {
    Ref embedded = find_embedded_id(re.get(), id.get());
    if (!embedded) {
      Ref head = host::text("Error: Invalid SHA format: ");
      Ref shown = host::Text(id.get()).slice(0, 20).str();
      Ref tail = host::text("...\n");
      return host::concat({head.get(), shown.get(), tail.get()});
    }
    id = std::move(embedded);
  }
  id = host::lower(id.get());

  try {
    Ref cwd = self.cwd();
    git::Command command{"show"};
    command.value(id.get()).word(host::text("--no-color"));
    git::Result result = git::run(subprocess.get(), command, {.timeout = 10, .cwd = cwd.get(), .replace_errors = true});
    if (result.ok()) return from_first_file_diff(result.stdout_());
    return git_failure_text(id, result);
  } catch (const host::Error&) {
    // TimeoutExpired is an Exception, so catching Exception first and then
    // telling the timeout apart answers as the two handlers in turn would.
    Ref error = host::except_as({PyExc_Exception});
    static const host::Interned timeout_expired{"TimeoutExpired"};
    Ref timeout_class = host::getattr(subprocess.get(), timeout_expired);
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
