// The file status from `git status --porcelain`, with the scan as fallback.
#include "status/file_status.h"

#include <algorithm>
#include <optional>
#include <string>
#include <unordered_set>
#include <vector>

#include "core/git.h"
#include "core/records.h"
#include "status/scan.h"
#include "status/status.h"

namespace status {

namespace {

using host::Text;
namespace git = core::git;

// The bytes of a path as git printed it in C-quoted form: between double
// quotes, with \a \b \t \n \v \f \r \" \\ and three-digit octal escapes for
// the bytes it would not print as they are. Nothing when the text is not a
// well-formed quoted path (then it is the path as it stands).
std::optional<std::string> unquote(const Text& printed) {
  if (printed.size() < 2 || printed[0] != '"' || printed[printed.size() - 1] != '"') return std::nullopt;
  const Text inner = printed.slice(1, printed.size() - 1);
  std::string bytes;
  for (Py_ssize_t i = 0; i < inner.size(); ++i) {
    const Py_UCS4 ch = inner[i];
    if (ch == '"') return std::nullopt;
    if (ch != '\\') {
      append_utf8(inner.slice(i, i + 1), bytes);
      continue;
    }
    if (++i == inner.size()) return std::nullopt;
    const Py_UCS4 escaped = inner[i];
    static constexpr std::string_view kLetters = "abtnvfr\"\\";
    static constexpr std::string_view kBytes = "\a\b\t\n\v\f\r\"\\";
    if (escaped < 128 && kLetters.find(static_cast<char>(escaped)) != std::string_view::npos) {
      bytes += kBytes[kLetters.find(static_cast<char>(escaped))];
      continue;
    }
    auto octal = [&](Py_ssize_t at) { return at < inner.size() && inner[at] >= '0' && inner[at] <= '7'; };
    if (escaped > '3' || !octal(i) || !octal(i + 1) || !octal(i + 2)) return std::nullopt;
    bytes += static_cast<char>((inner[i] - '0') << 6 | (inner[i + 1] - '0') << 3 | (inner[i + 2] - '0'));
    i += 2;
  }
  return bytes;
}

// The path a line of git's output names: unquoted and decoded as the host
// decodes file names (os.fsdecode) when git quoted it, so that it names the
// file on disk, as the fallback scan names it; otherwise as git printed it.
Ref printed_path(const Text& printed) {
  const std::optional<std::string> bytes = unquote(printed);
  if (!bytes) return printed.str();
  return Ref::check(PyUnicode_DecodeFSDefaultAndSize(bytes->data(), static_cast<Py_ssize_t>(bytes->size())));
}

// Where " -> " first stands outside double quotes, from `start` on (npos
// when it does not): a quoted path may itself hold the arrow.
Py_ssize_t find_arrow(const Text& text, Py_ssize_t start = 0) {
  bool quoted = false;
  for (Py_ssize_t i = start; i < text.size(); ++i) {
    const Py_UCS4 ch = text[i];
    if (quoted && ch == '\\') {
      ++i;
    } else if (ch == '"') {
      quoted = !quoted;
    } else if (!quoted && ch == ' ' && text.slice(i).starts_with(" -> ")) {
      return i;
    }
  }
  return Text::npos;
}

// The paths `git diff --cached --name-only` lists: the pieces of its
// stripped output between newlines, each unquoted when git quoted it.
class StagedPaths {
 public:
  void add(const Text& printed) { paths_.insert(utf8_key(printed_path(printed).get())); }
  bool contains(const Text& path) const {
    scratch_.clear();
    append_utf8(path, scratch_);
    return paths_.count(scratch_) != 0;
  }

 private:
  std::unordered_set<std::string> paths_;
  mutable std::string scratch_;
};

// Runs the staged listing; a failed run of any kind leaves the set empty.
StagedPaths staged_paths(const git::Runner& in_root) {
  StagedPaths staged;
  try {
    git::Result diff = in_root.run(git::Command{"diff", "--cached", "--name-only"}, git::Limit::StagedPaths);
    if (!diff.ok()) return staged;
    Ref output = host::strip(diff.stdout_().get());
    const Text text(output.get());
    if (!text.empty()) text.split('\n', [&](const Text& piece) { staged.add(piece); });
  } catch (const host::Error&) {
    host::except_exception();
    return StagedPaths();
  }
  return staged;
}

// One porcelain line: the path it names and the two status columns.
struct PorcelainLine {
  Ref path;
  Py_UCS4 index_status;
  Py_UCS4 working_status;
};

// Reads a line "XY path" (or "XY old -> new"). The first line of the output
// may have lost a leading space to the strip of the whole output, and then
// reads "M path"; both shapes are taken, the path starting after the space
// that follows the columns when there is one.
std::optional<PorcelainLine> parse_porcelain_line(const Text& line) {
  if (line.is_blank() || line.size() < 3) return std::nullopt;
  const Py_UCS4 x = line[0];
  const Py_UCS4 y = line[1];
  Text path = line.slice(2);
  if (x == '?' && y == '?') {
    if (line.size() >= 4 && line[2] == ' ') path = line.slice(3);
  } else if (line[2] == ' ') {
    path = line.slice(3);
  }
  path = path.strip();
  // A rename or copy names the new path second.
  const Py_ssize_t arrow = find_arrow(path);
  if (arrow != Text::npos) {
    const Text rest = path.slice(arrow + 4);
    const Py_ssize_t next = find_arrow(rest);
    path = next == Text::npos ? rest : rest.slice(0, next);
  }
  return PorcelainLine{printed_path(path), x, y};
}

// The change the two status columns report.
Change change_of(Py_UCS4 x, Py_UCS4 y) {
  if (x == 'D' || y == 'D') return Change::Deleted;
  if (x == '?' && y == '?') return Change::Untracked;
  if (x == 'A') return Change::Staged;
  if (x == 'R') return Change::Renamed;
  if (x == 'C') return Change::Copied;
  return Change::Modified;
}

struct Found {
  Ref path;
  Ref record;
};

// The git road: None when `git status` fails, the sorted records otherwise.
// Raises when git cannot be run at all.
Ref status_from_git(Service& self, const git::Runner& git_runner) {
  // Both runs share the directory read here.
  const git::Runner in_root = git_runner.in(self.cwd());
  git::Result status = in_root.run(git::Command{"status", "--porcelain", "-u"}, git::Limit::Status);
  if (!status.ok()) return Ref::borrow(Py_None);
  const StagedPaths staged_set = staged_paths(in_root);

  Ref output = host::strip(status.stdout_().get());
  const Text text(output.get());
  const core::RecordMaker file_status(core::Record::FileStatus);
  std::vector<Found> found;
  if (!text.empty()) {
    text.split('\n', [&](const Text& line) {
      std::optional<PorcelainLine> parsed = parse_porcelain_line(line);
      if (!parsed) return;
      const Py_UCS4 x = parsed->index_status;
      const Py_UCS4 y = parsed->working_status;
      bool staged = x != ' ' && x != '?';
      bool unstaged = true;
      if (!(x == '?' && y == '?')) {
        unstaged = y != ' ' && y != '?';
        // Only what the staged listing confirms is staged; this also mends
        // the first line read as "M path".
        if (staged && !staged_set.contains(Text(parsed->path.get()))) {
          staged = false;
          unstaged = true;
        }
      } else {
        staged = false;
      }
      Ref record = file_status.make(
          {parsed->path.get(), status_word(change_of(x, y)).get(), host::boolean(staged), host::boolean(unstaged)});
      found.push_back({std::move(parsed->path), std::move(record)});
    });
  }
  std::stable_sort(found.begin(), found.end(),
                   [](const Found& a, const Found& b) { return PyUnicode_Compare(a.path.get(), b.path.get()) < 0; });
  Ref records = Ref::check(PyList_New(static_cast<Py_ssize_t>(found.size())));
  for (std::size_t i = 0; i < found.size(); ++i) {
    PyList_SET_ITEM(records.get(), static_cast<Py_ssize_t>(i), found[i].record.release());
  }
  return records;
}

}  // namespace

const host::Interned& status_word(Change change) {
  static const host::Interned modified{"modified"};
  static const host::Interned staged{"staged"};
  static const host::Interned deleted{"deleted"};
  static const host::Interned untracked{"untracked"};
  static const host::Interned renamed{"renamed"};
  static const host::Interned copied{"copied"};
  switch (change) {
    case Change::Staged:
      return staged;
    case Change::Deleted:
      return deleted;
    case Change::Untracked:
      return untracked;
    case Change::Renamed:
      return renamed;
    case Change::Copied:
      return copied;
    case Change::Modified:
      break;
  }
  return modified;
}

void append_utf8(const Text& text, std::string& out) {
  for (Py_ssize_t i = 0; i < text.size(); ++i) {
    const Py_UCS4 ch = text[i];
    if (ch < 0x80) {
      out += static_cast<char>(ch);
    } else if (ch < 0x800) {
      out += static_cast<char>(0xC0 | (ch >> 6));
      out += static_cast<char>(0x80 | (ch & 0x3F));
    } else if (ch < 0x10000) {
      out += static_cast<char>(0xE0 | (ch >> 12));
      out += static_cast<char>(0x80 | ((ch >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (ch & 0x3F));
    } else {
      out += static_cast<char>(0xF0 | (ch >> 18));
      out += static_cast<char>(0x80 | ((ch >> 12) & 0x3F));
      out += static_cast<char>(0x80 | ((ch >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (ch & 0x3F));
    }
  }
}

std::string utf8_key(PyObject* text) {
  // The host's own UTF-8 form, kept with the str, is the key unless the text
  // holds a lone surrogate, which UTF-8 proper cannot write.
  Py_ssize_t size = 0;
  if (const char* utf8 = PyUnicode_AsUTF8AndSize(text, &size)) return std::string(utf8, static_cast<std::size_t>(size));
  if (!PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) throw host::Error{};
  PyErr_Clear();
  std::string key;
  append_utf8(Text(text), key);
  return key;
}

Ref get_file_status(Service& self) {
  const git::Runner git_runner(self);
  try {
    return status_from_git(self, git_runner);
  } catch (const host::Error&) {
    host::except_exception();
  }
  return scan_file_status(self);
}

}  // namespace status
