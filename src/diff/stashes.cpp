// The stash list and one stash's patch and summary, from git.
#include "core/git.h"
#include "core/records.h"
#include "diff/diff.h"

namespace diff {

namespace {

namespace git = core::git;

// git reads "stash@{N}" as the Nth stash only below this; from here on N is a
// time in seconds ("the stash as it was then") and git answers with whichever
// stash was current at that time.
constexpr int kFirstIndexReadAsTime = 100'000'000;

// Path(self.repo_path).resolve(): stash commands run in the repository root
// with every symbolic link resolved.
Ref resolved_root(Service& self, PyObject* path_class) {
  static const host::Interned resolve{"resolve"};
  Ref repo_path = self.repo_path();
  Ref path = host::call(path_class, {repo_path.get()});
  return host::call_method(path.get(), resolve, {});
}

// match.group(number)
Ref group(PyObject* match, long number) {
  static const host::Interned group_name{"group"};
  Ref which = host::integer(number);
  return host::call_method(match, group_name, {which.get()});
}

// The two patterns a stash line is read with, compiled once per listing.
struct StashPatterns {
  explicit StashPatterns(PyObject* re) {
    static const host::Interned compile{"compile"};
    static const host::Interned line_source{R"(stash@\{(\d+)\}:\s*(.+))"};
    static const host::Interned description_source{R"((?:On |O |WIP on )?([^:]+?):\s*(.+))"};
    line = host::call_method(re, compile, {line_source.get()});
    description = host::call_method(re, compile, {description_source.get()});
  }
  // pattern.match(text): the match object, or None.
  static Ref match(const Ref& pattern, PyObject* text) {
    static const host::Interned match_name{"match"};
    return host::call_method(pattern.get(), match_name, {text});
  }

  Ref line;         // "stash@{N}: description"
  Ref description;  // "On branch: message", "WIP on branch: message", ...
};

// The branch HEAD is on now, for a stash whose description names none;
// "unknown" when git cannot tell. A detached HEAD reads "HEAD".
Ref current_branch(const git::Runner& in_root) {
  try {
    git::Command command{"rev-parse", "--abbrev-ref", "HEAD"};
    git::Result result = in_root.run(command, git::Limit::StashBranch, git::Output::ShownText);
    if (result.ok()) return host::strip(result.stdout_().get());
  } catch (const host::Error&) {
    host::except_exception();
  }
  return host::text("unknown");
}

// The stash's author time in seconds; 0 when git cannot give it, so that a
// stash is listed even when its time is unknown.
Ref stash_time(const git::Runner& in_root, PyObject* index) {
  try {
    Ref reference = Ref::check(PyUnicode_FromFormat("stash@{%S}", index));
    git::Command command{"show", "-s", "--format=%at"};
    command.value(reference.get());
    git::Result result = in_root.run(command, git::Limit::StashTime, git::Output::ShownText);
    if (result.ok()) {
      Ref output = result.stdout_();
      host::Text seconds = host::Text(output.get()).strip();
      if (seconds.is_digit()) return seconds.to_int();
    }
  } catch (const host::Error&) {
    host::except_exception();
  }
  return host::integer(0);
}

// The record of one line of `git stash list`, or null for a line that is not
// a stash line.
Ref read_stash_line(const git::Runner& in_root, const StashPatterns& patterns, host::Text line) {
  Ref line_text = line.str();
  Ref line_match = StashPatterns::match(patterns.line, line_text.get());
  if (line_match.get() == Py_None) return Ref();
  Ref index = host::Text(group(line_match.get(), 1).get()).to_int();
  Ref description = host::strip(group(line_match.get(), 2).get());

  Ref branch;
  Ref message;
  Ref branch_match = StashPatterns::match(patterns.description, description.get());
  if (branch_match.get() != Py_None) {
    branch = host::strip(group(branch_match.get(), 1).get());
    message = host::strip(group(branch_match.get(), 2).get());
  } else {
    branch = current_branch(in_root);
    message = description.copy();
  }
  Ref timestamp = stash_time(in_root, index.get());
  Ref no_id = host::text("");
  return core::RecordMaker(core::Record::StashInfo)
      .make({index.get(), branch.get(), message.get(), description.get(), no_id.get(), timestamp.get()});
}

// `git stash show <reference> <form> --color=always`, stripped; "" when git fails.
Ref stash_show(const git::Runner& in_root, PyObject* reference, const char* form) {
  git::Command command{"stash", "show"};
  command.value(reference).word(host::text(form)).word(host::text("--color=always"));
  git::Result result = in_root.run(command, git::Limit::StashShow, git::Output::ShownText);
  return result.ok() ? host::strip(result.stdout_().get()) : host::text("");
}

}  // namespace

Ref list_stashes(Service& self) {
  const git::Runner git_runner(self);
  Ref re = host::import("re");
  Ref path_class = host::import_from("pathlib", "Path");

  Ref stashes = host::new_list();
  // A failure part way through keeps the stashes read so far: the host shows
  // what there is rather than nothing.
  try {
    const git::Runner in_root = git_runner.in(host::str(resolved_root(self, path_class.get()).get()));
    git::Result listed = in_root.run(git::Command{"stash", "list"}, git::Limit::StashList, git::Output::ShownText);
    if (!listed.ok()) return stashes;
    Ref output = listed.stdout_();
    host::Text listing = host::Text(output.get()).strip();
    if (listing.empty()) return stashes;

    StashPatterns patterns(re.get());
    listing.split('\n', [&](host::Text line) {
      if (line.is_blank()) return;
      Ref stash = read_stash_line(in_root, patterns, line);
      if (stash) host::append(stashes.get(), stash.get());
    });
  } catch (const host::Error&) {
    host::except_exception();
  }
  return stashes;
}

Ref get_stash_diff(Service& self, int stash_index) {
  const git::Runner git_runner(self);
  Ref path_class = host::import_from("pathlib", "Path");
  Ref root = resolved_root(self, path_class.get());

  Ref diff_text = host::text("");
  Ref stat_text = host::text("");
  // No stash list is that long, so such an index names no stash; asked, git
  // would show another stash's changes under it.
  if (stash_index >= kFirstIndexReadAsTime) return host::tuple({diff_text.get(), stat_text.get()});
  // git alone decides which indexes name a stash (a negative one included);
  // a failure leaves the texts gathered so far.
  try {
    const git::Runner in_root = git_runner.in(host::str(root.get()));
    Ref reference = Ref::check(PyUnicode_FromFormat("stash@{%d}", stash_index));
    stat_text = stash_show(in_root, reference.get(), "--stat");
    diff_text = stash_show(in_root, reference.get(), "-p");
  } catch (const host::Error&) {
    host::except_exception();
  }
  return host::tuple({diff_text.get(), stat_text.get()});
}

}  // namespace diff
