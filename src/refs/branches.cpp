// The local and remote branch listings: one `git for-each-ref` run each, with
// dulwich's refs as the fallback when git cannot be run.
#include <algorithm>
#include <optional>
#include <string_view>
#include <vector>

#include "core/git.h"
#include "core/native_refs.h"
#include "refs/ref_line.h"
#include "refs/ref_names.h"
#include "refs/refs.h"

namespace refs {

namespace git = core::git;

namespace {

constexpr const char* kBranchFormat = "--format=%(refname:short)|%(objectname)|%(committerdate:unix)";

// One record per line of `git for-each-ref <pattern>`. A non-zero exit adds
// nothing; an exception (git missing, a time field int() refuses) leaves
// the records of the lines before it in `listing`.
void list_from_git(const git::Runner& git_runner, const char* pattern, Listing& listing) {
  git::Result result = git_runner.run(git::Command{"for-each-ref", pattern, kBranchFormat}, git::Limit::BranchListing);
  if (!result.ok()) return;
  Ref output = host::strip(result.stdout_().get());
  Records records(core::Record::BranchInfo);
  for_each_ref_line(Text(output.get()), [&](const RefLine& line) {
    Ref name = line.field(0).str();
    Ref head_sha = line.field(1).str();
    Timestamp timestamp = Timestamp::parse(line.field(2));
    Ref record = records.make({name.get(), head_sha.get(), timestamp.object().get()});
    listing.add(std::move(record), name.get(), std::move(timestamp));
  });
}

// The refs under `prefix` read natively, all of them resolving (the
// library's reading raises for one that does not): nothing otherwise.
std::optional<std::vector<core::ListedRef>> resolved_refs(core::NativeRefs& refs, std::string_view prefix) {
  std::optional<std::vector<core::ListedRef>> listed = refs.list(prefix);
  if (listed && std::any_of(listed->begin(), listed->end(), [](const core::ListedRef& ref) { return ref.hex.empty(); }))
    return std::nullopt;
  return listed;
}

// The fallback: every ref of `self.repo.refs` under `prefix`, with its
// target and no time. `name_of(ref)` gives the listed name, or nothing to
// leave the ref out.
void list_from_refs(Service& self, std::string_view prefix, Ref (*name_of)(PyObject*), Listing& listing) {
  static const host::Interned keys_name{"keys"};
  core::NativeRefs refs(self);
  Ref zero = host::integer(0);
  Records records(core::Record::BranchInfo);
  auto add = [&](PyObject* name, PyObject* head_sha) {
    listing.add(records.make({name, head_sha, zero.get()}), name, Timestamp());
  };
  if (std::optional<std::vector<core::ListedRef>> listed = resolved_refs(refs, prefix)) {
    for (const core::ListedRef& ref : *listed) {
      if (Ref name = name_of(host::bytes(ref.name).get())) add(name.get(), host::text(ref.hex).get());
    }
    return;
  }
  Ref keys = host::call_method(refs.container(), keys_name, {});
  host::for_each(keys.get(), [&](PyObject* key) {
    if (!has_prefix(key, prefix)) return;
    Ref sha = host::getitem(refs.container(), key);
    Ref name = name_of(key);
    if (!name) return;
    add(name.get(), ascii_text(sha.get()).get());
  });
}

// The fallback's name of a local branch: what follows "refs/heads/".
Ref local_branch_name(PyObject* ref) { return decode_after(ref, static_cast<Py_ssize_t>(kHeadsPrefix.size())); }

// The fallback's name of a remote branch: what follows the last "/remotes/"
// of the whole name, which every ref under "refs/remotes/" holds.
Ref remote_branch_name(PyObject* ref) {
  constexpr std::string_view marker = "/remotes/";
  Ref full = decode_after(ref, 0);
  Text text(full.get());
  const Py_ssize_t last = host::rfind(text, marker);
  if (last == Text::npos) return Ref();
  return text.slice(last + static_cast<Py_ssize_t>(marker.size())).str();
}

// A repository whose current branch has no commit yet still shows that
// branch: `git symbolic-ref --short HEAD` names it. Any failure adds nothing.
void add_current_branch(const git::Runner& git_runner, Listing& listing) {
  try {
    git::Result result = git_runner.run(git::Command{"symbolic-ref", "--short", "HEAD"}, git::Limit::CurrentBranch);
    if (!result.ok()) return;
    Ref name = host::strip(result.stdout_().get());
    Text text(name.get());
    if (text.empty() || text.equals("HEAD")) return;
    Ref empty = host::text("");
    Ref zero = host::integer(0);
    Ref record = Records(core::Record::BranchInfo).make({name.get(), empty.get(), zero.get()});
    listing.add(std::move(record), name.get(), Timestamp());
  } catch (const host::Error&) {
    host::except_exception();
  }
}

}  // namespace

Ref list_branches(Service& self) {
  const git::Runner git_runner(self);
  Listing listing;
  list_from_git_or(
      listing, [&](Listing& records) { list_from_git(git_runner, "refs/heads/", records); },
      [&](Listing& records) { list_from_refs(self, kHeadsPrefix, local_branch_name, records); });
  if (listing.empty()) add_current_branch(git_runner, listing);
  return listing.sorted();
}

Ref list_remote_branches(Service& self) {
  const git::Runner git_runner(self);
  Listing listing;
  list_from_git_or(
      listing, [&](Listing& records) { list_from_git(git_runner, "refs/remotes/", records); },
      [&](Listing& records) { list_from_refs(self, "refs/remotes/", remote_branch_name, records); });
  return listing.sorted();
}

}  // namespace refs
