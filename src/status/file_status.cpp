// The file status from `git status --porcelain`, with the scan as fallback.
#include <algorithm>
#include <optional>
#include <string>
#include <unordered_set>
#include <vector>

#include "module/git.h"
#include "module/records.h"
#include "status/scan.h"
#include "status/status.h"

namespace status {

namespace {

using host::Text;
namespace git = module::git;

// The text's code points written as UTF-8 (lone surrogates as their three
// bytes): a native key with the equality of the host's str.
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

// The paths `git diff --cached --name-only` lists: the pieces of its
// stripped output between newlines, each taken as it stands.
class StagedPaths {
 public:
  void add(const Text& path) {
    std::string key;
    append_utf8(path, key);
    paths_.insert(std::move(key));
  }
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
StagedPaths staged_paths(PyObject* subprocess, PyObject* cwd) {
  StagedPaths staged;
  try {
    git::Result diff = git::run(subprocess, git::Command{"diff", "--cached", "--name-only"}, {5, cwd});
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

// One porcelain line: the path git printed and the two status columns.
struct PorcelainLine {
  Text path;
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
  // A rename or copy names the new path second; git's quoting is kept as printed.
  const Py_ssize_t arrow = path.find(" -> ");
  if (arrow != Text::npos) {
    const Text rest = path.slice(arrow + 4);
    const Py_ssize_t next = rest.find(" -> ");
    path = next == Text::npos ? rest : rest.slice(0, next);
  }
  return PorcelainLine{path, x, y};
}

const host::Name& status_name(Py_UCS4 x, Py_UCS4 y) {
  static const host::Name deleted{"deleted"};
  static const host::Name untracked{"untracked"};
  static const host::Name staged{"staged"};
  static const host::Name renamed{"renamed"};
  static const host::Name copied{"copied"};
  static const host::Name modified{"modified"};
  if (x == 'D' || y == 'D') return deleted;
  if (x == '?' && y == '?') return untracked;
  if (x == 'A') return staged;
  if (x == 'R') return renamed;
  if (x == 'C') return copied;
  return modified;
}

struct Found {
  Ref path;
  Ref record;
};

// The git road: None when `git status` fails, the sorted records otherwise.
// Raises when git cannot be run at all.
Ref status_from_git(Service& self, PyObject* subprocess) {
  Ref cwd = self.cwd();
  git::Result status = git::run(subprocess, git::Command{"status", "--porcelain", "-u"}, {10, cwd.get()});
  if (!status.ok()) return Ref::borrow(Py_None);
  const StagedPaths staged_set = staged_paths(subprocess, cwd.get());

  Ref output = host::strip(status.stdout_().get());
  const Text text(output.get());
  const module::RecordMaker file_status(module::Record::FileStatus);
  std::vector<Found> found;
  if (!text.empty()) {
    text.split('\n', [&](const Text& line) {
      const std::optional<PorcelainLine> parsed = parse_porcelain_line(line);
      if (!parsed) return;
      const Py_UCS4 x = parsed->index_status;
      const Py_UCS4 y = parsed->working_status;
      bool staged = x != ' ' && x != '?';
      bool unstaged = true;
      if (!(x == '?' && y == '?')) {
        unstaged = y != ' ' && y != '?';
        // Only what the staged listing confirms is staged; this also mends
        // the first line read as "M path".
        if (staged && !staged_set.contains(parsed->path)) {
          staged = false;
          unstaged = true;
        }
      } else {
        staged = false;
      }
      Ref path = parsed->path.str();
      Ref record =
          file_status.make({path.get(), status_name(x, y).get(), host::boolean(staged), host::boolean(unstaged)});
      found.push_back({std::move(path), std::move(record)});
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

Ref get_file_status(Service& self) {
  Ref subprocess = host::import("subprocess");
  try {
    return status_from_git(self, subprocess.get());
  } catch (const host::Error&) {
    host::except_exception();
  }
  return scan_file_status(self);
}

}  // namespace status
