// The ignore rules: the root .gitignore compiled into pattern records, and the
// file and directory tests against them.
#include <optional>
#include <string_view>
#include <vector>

#include "core/namespace.h"
#include "status/glob.h"
#include "status/status.h"

namespace status {

namespace {

using host::Text;

const host::Interned kPatternKey{"pattern"};
const host::Interned kFnmatchPatternKey{"fnmatch_pattern"};
const host::Interned kIsNegationKey{"is_negation"};
const host::Interned kIsRootKey{"is_root"};

// One pattern record, as compiled or as read back from a caller's list.
struct Rule {
  Ref pattern;
  Ref fnmatch_pattern;
  bool negation = false;
  bool root = false;
};

// fnmatch.fnmatch as the `fnmatch` module the method imported has it. While
// that is the standard library's own function, patterns are matched by Glob,
// which gives its answers without a host call per name; a function put in
// its place is called like any other.
class Fnmatch {
 public:
  explicit Fnmatch(PyObject* module) : function_(host::getattr(module, name())), native_(is_standard(module)) {}

  // One pattern, ready to be matched against many names.
  class Pattern {
   public:
    Pattern(const Fnmatch& fnmatch, PyObject* pattern) : function_(fnmatch.function_.get()), pattern_(pattern) {
      if (fnmatch.native_ && PyUnicode_Check(pattern)) {
        glob_.emplace(Text(pattern));
        if (!glob_->exact()) glob_.reset();
      }
    }
    // fnmatch.fnmatch(name, pattern)
    bool matches(const Text& name) const {
      if (glob_) return glob_->matches(name);
      Ref name_text = name.str();
      return host::truthy(host::call(function_, {name_text.get(), pattern_}).get());
    }

   private:
    PyObject* function_;
    PyObject* pattern_;
    std::optional<Glob> glob_;
  };

 private:
  static const host::Interned& name() {
    static const host::Interned fnmatch{"fnmatch"};
    return fnmatch;
  }

  // True when fnmatch.fnmatch is the function fnmatch.py defines (on POSIX it
  // only hands its arguments to the translated expression). The last function
  // found to be so is remembered, so the test costs one comparison per call.
  bool is_standard(PyObject* module) const {
    static PyObject* standard = nullptr;
    PyObject* function = function_.get();
    if (function == standard) return true;
    if (!PyFunction_Check(function)) return false;
    static const host::Interned qualname{"__qualname__"};
    static const host::Interned co_filename{"co_filename"};
    static const host::Interned file{"__file__"};
    Ref own_name = host::getattr(function, qualname);
    PyObject* own_module = PyFunction_GET_MODULE(function);
    if (!PyUnicode_Check(own_name.get()) || PyUnicode_CompareWithASCIIString(own_name.get(), "fnmatch") != 0 ||
        own_module == nullptr || !PyUnicode_Check(own_module) ||
        PyUnicode_CompareWithASCIIString(own_module, "fnmatch") != 0) {
      return false;
    }
    Ref code_file = host::getattr(PyFunction_GET_CODE(function), co_filename);
    Ref module_file = host::getattr_optional(module, file);
    if (!module_file || !PyUnicode_Check(module_file.get()) || !host::equal(code_file.get(), module_file.get())) {
      return false;
    }
    Py_XSETREF(standard, Py_NewRef(function));
    return true;
  }

  Ref function_;
  bool native_;
};

// A path as the rules see it: "\" turned into "/", and the start of each
// "/"-separated part (empty parts included).
class PathParts {
 public:
  explicit PathParts(PyObject* file_path) : normalized_(normalize(file_path)), text_(normalized_.get()) {
    starts_.push_back(0);
    for (Py_ssize_t at = text_.find('/'); at != Text::npos; at = text_.find('/', at + 1)) starts_.push_back(at + 1);
  }

  PyObject* normalized() const { return normalized_.get(); }
  const Text& whole() const { return text_; }
  std::size_t count() const { return starts_.size(); }
  // "/".join(parts[i:])
  Text from(std::size_t i) const { return text_.slice(starts_[i]); }
  // parts[i]
  Text part(std::size_t i) const {
    const Py_ssize_t end = i + 1 < starts_.size() ? starts_[i + 1] - 1 : text_.size();
    return text_.slice(starts_[i], end);
  }

 private:
  // file_path.replace("\\", "/")
  static Ref normalize(PyObject* file_path) {
    static const host::Interned backslash{"\\"};
    static const host::Interned slash{"/"};
    if (!PyUnicode_Check(file_path)) {
      static const host::Interned replace{"replace"};
      return host::call_method(file_path, replace, {backslash.get(), slash.get()});
    }
    if (!Text(file_path).contains("\\")) return Ref::borrow(file_path);
    return Ref::check(PyUnicode_Replace(file_path, backslash.get(), slash.get(), -1));
  }

  Ref normalized_;
  Text text_;
  std::vector<Py_ssize_t> starts_;
};

bool same_text(const Text& a, const Text& b) {
  if (a.size() != b.size()) return false;
  for (Py_ssize_t i = 0; i < a.size(); ++i) {
    if (a[i] != b[i]) return false;
  }
  return true;
}

// value[1:] if value.startswith("/") else value
Ref without_leading_slash(PyObject* value) {
  if (PyUnicode_Check(value)) {
    Text text(value);
    return text.starts_with("/") ? text.slice(1).str() : Ref::borrow(value);
  }
  static const host::Interned startswith{"startswith"};
  static const host::Interned slash{"/"};
  if (!host::truthy(host::call_method(value, startswith, {slash.get()}).get())) return Ref::borrow(value);
  return Ref::check(PySequence_GetSlice(value, 1, PY_SSIZE_T_MAX));
}

// normalized_path.startswith(root_pattern + "/")
bool under_directory(const PathParts& path, PyObject* root_pattern) {
  static const host::Interned slash{"/"};
  if (PyUnicode_Check(root_pattern)) {
    Text directory(root_pattern);
    const Py_ssize_t n = directory.size();
    return path.whole().size() > n && path.whole()[n] == '/' && same_text(path.whole().slice(0, n), directory);
  }
  static const host::Interned startswith{"startswith"};
  Ref prefix = Ref::check(PyNumber_Add(root_pattern, slash.get()));
  return host::truthy(host::call_method(path.normalized(), startswith, {prefix.get()}).get());
}

// Whether one record matches the path. A root record matches the whole path,
// or everything below the directory it names. Any other record matches the
// whole path, the path from any part on, or any single part.
bool rule_matches(const Rule& rule, const PathParts& path, const Fnmatch& fnmatch) {
  if (rule.root) {
    Ref root_pattern = without_leading_slash(rule.pattern.get());
    Ref root_fnmatch = without_leading_slash(rule.fnmatch_pattern.get());
    if (Fnmatch::Pattern(fnmatch, root_fnmatch.get()).matches(path.whole())) return true;
    return under_directory(path, root_pattern.get());
  }
  const Fnmatch::Pattern pattern(fnmatch, rule.fnmatch_pattern.get());
  if (pattern.matches(path.whole())) return true;
  for (std::size_t i = 0; i < path.count(); ++i) {
    if (pattern.matches(path.from(i)) || pattern.matches(path.part(i))) return true;
  }
  return false;
}

Rule read_record(PyObject* record) {
  Rule rule;
  rule.pattern = host::getitem(record, kPatternKey.get());
  rule.fnmatch_pattern = host::getitem(record, kFnmatchPatternKey.get());
  rule.negation = host::truthy(host::getitem(record, kIsNegationKey.get()).get());
  rule.root = host::truthy(host::getitem(record, kIsRootKey.get()).get());
  return rule;
}

// One line of the ignore file as a rule: trimmed, comments and blank lines
// dropped, "!" read as negation, trailing "/" removed and "**" taken as "*".
// A line of slashes alone ("/") still gives a rule, with an empty pattern.
std::optional<Rule> parse_line(PyObject* line) {
  Text text = Text(line).strip();
  if (text.empty() || text.starts_with("#")) return std::nullopt;
  Rule rule;
  rule.negation = text.starts_with("!");
  if (rule.negation) text = text.slice(1).strip();
  if (text.empty()) return std::nullopt;
  const Text pattern = text.rstrip('/');
  rule.pattern = pattern.str();
  if (pattern.contains("**")) {
    static const host::Interned double_star{"**"};
    static const host::Interned star{"*"};
    rule.fnmatch_pattern = Ref::check(PyUnicode_Replace(rule.pattern.get(), double_star.get(), star.get(), -1));
  } else {
    rule.fnmatch_pattern = rule.pattern.copy();
  }
  rule.root = pattern.starts_with("/");
  return rule;
}

// The lines of the repository root's .gitignore; a null Ref when the file is
// missing, or cannot be opened or read.
Ref read_ignore_lines(Service& self) {
  static const host::Interned file_name{".gitignore"};
  static const host::Interned exists{"exists"};
  static const host::Interned is_file{"is_file"};
  Ref repo_path = self.repo_path();
  Ref path = Ref::check(PyNumber_TrueDivide(repo_path.get(), file_name.get()));
  if (!host::truthy(host::call_method(path.get(), exists, {}).get())) return Ref();
  try {
    // Only a regular file is read (a link to one included). Opening a named
    // pipe waits for a writer that never comes, and a link to a device such
    // as /dev/zero, which a cloned repository can hold, reads without end:
    // either would hold the caller for good. Such a file reads as unreadable.
    if (!host::truthy(host::call_method(path.get(), is_file, {}).get())) return Ref();
    static const host::Interned open{"open"};
    static const host::Interned read_mode{"r"};
    static const host::Interned utf8{"utf-8"};
    static const host::Interned ignore{"ignore"};
    static const host::KwNames text_options{"encoding", "errors"};
    static const host::Interned readlines{"readlines"};
    static const host::Interned close{"close"};
    Ref open_function = core::global(open);
    Ref file = host::call(open_function.get(), {path.get(), read_mode.get()}, text_options, {utf8.get(), ignore.get()});
    Ref lines;
    try {
      lines = host::call_method(file.get(), readlines, {});
    } catch (const host::Error&) {
      host::call_method_in_finally(file.get(), close);
      throw;
    }
    host::call_method(file.get(), close, {});
    return lines;
  } catch (const host::Error&) {
    host::except_exception();
    return Ref();
  }
}

// Path(dir_path).name, read natively while `Path` is pathlib's own class:
// the last part that is neither empty nor ".".
Ref directory_name(PyObject* dir_path) {
  static const host::Interned path_name{"Path"};
  static const host::Interned name_attribute{"name"};
  Ref path_class = core::global(path_name);
  Ref pathlib_path = host::import_from("pathlib", "Path");
  if (path_class.get() != pathlib_path.get()) {
    Ref path = host::call(path_class.get(), {dir_path});
    return host::getattr(path.get(), name_attribute);
  }
  const Text text(dir_path);
  Py_ssize_t end = text.size();
  for (;;) {
    Py_ssize_t begin = end;
    while (begin > 0 && text[begin - 1] != '/') --begin;
    const Text part = text.slice(begin, end);
    if (!part.empty() && !part.equals(".")) return part.str();
    if (begin == 0) return host::text("");
    end = begin - 1;
  }
}

// Directories the walk never enters, whatever the ignore file says.
constexpr std::string_view kAlwaysSkipped[] = {
    ".git", "node_modules", "__pycache__", ".pytest_cache", ".mypy_cache", ".venv", "venv",
    "env",  ".env",         "dist",        "build",         ".tox",        ".eggs",
};

}  // namespace

Ref compile_gitignore_patterns(Service& self) {
  // Imported as the other ignore methods import it, though compiling matches nothing.
  Ref fnmatch_module = host::import("fnmatch");
  Ref compiled = host::new_list();
  Ref lines = read_ignore_lines(self);
  if (!lines) return compiled;
  host::for_each(lines.get(), [&](PyObject* line) {
    std::optional<Rule> rule = parse_line(line);
    if (!rule) return;
    Ref record = host::new_dict();
    host::set_item(record.get(), kPatternKey, rule->pattern.get());
    host::set_item(record.get(), kFnmatchPatternKey, rule->fnmatch_pattern.get());
    host::set_item(record.get(), kIsNegationKey, host::boolean(rule->negation));
    host::set_item(record.get(), kIsRootKey, host::boolean(rule->root));
    host::append(compiled.get(), record.get());
  });
  return compiled;
}

Ref is_path_ignored(Service&, PyObject* file_path, PyObject* compiled_patterns) {
  Ref fnmatch_module = host::import("fnmatch");
  if (PyList_GET_SIZE(compiled_patterns) == 0) return Ref::borrow(Py_False);
  const PathParts path(file_path);
  const Fnmatch fnmatch(fnmatch_module.get());
  // The last record that matches decides.
  bool ignored = false;
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(compiled_patterns); ++i) {
    Ref record = Ref::borrow(PyList_GET_ITEM(compiled_patterns, i));
    const Rule rule = read_record(record.get());
    if (rule_matches(rule, path, fnmatch)) ignored = !rule.negation;
  }
  return Ref::borrow(host::boolean(ignored));
}

Ref is_directory_ignored(Service& self, PyObject* dir_path, PyObject* compiled_patterns) {
  Ref name = directory_name(dir_path);
  const Text text(name.get());
  for (std::string_view skipped : kAlwaysSkipped) {
    if (text.equals(skipped)) return Ref::borrow(Py_True);
  }
  if (text.ends_with(".egg-info")) return Ref::borrow(Py_True);
  // The appended "/" gives the path an empty last part, so that "build" (from
  // the line "build/") matches by part and "/out" by its prefix.
  static const host::Interned slash{"/"};
  static const host::Interned is_path_ignored_name{"_is_path_ignored"};
  Ref as_directory = host::concat({dir_path, slash.get()});
  return host::call_method(self.object(), is_path_ignored_name, {as_directory.get(), compiled_patterns});
}

Ref is_ignored(Service& self, PyObject* file_path) {
  Ref fnmatch_module = host::import("fnmatch");
  Ref lines = read_ignore_lines(self);
  if (!lines) return Ref::borrow(Py_False);
  const PathParts path(file_path);
  const Fnmatch fnmatch(fnmatch_module.get());
  bool ignored = false;
  host::for_each(lines.get(), [&](PyObject* line) {
    std::optional<Rule> rule = parse_line(line);
    if (rule && rule_matches(*rule, path, fnmatch)) ignored = !rule->negation;
  });
  return Ref::borrow(host::boolean(ignored));
}

}  // namespace status
