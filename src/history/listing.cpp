// The history pane's commit list, in its default and full-history views.
#include <cstring>
#include <optional>

#include "core/records.h"
#include "history/base_branch.h"
#include "history/history.h"
#include "history/id_text.h"
#include "history/native.h"
#include "history/walk.h"
#include "history/walk_rules.h"

namespace history {

namespace {

// The base branch's commits hidden in the default view: only its nearest ones.
constexpr int kBaseCommitLimit = 200;

// commit.author as text: bytes decoded, anything else its str().
Ref author_text(PyObject* commit) {
  static const host::Interned author{"author"};
  Ref value = host::getattr(commit, author);
  if (PyBytes_Check(value.get()) || PyByteArray_Check(value.get())) return host::decode_utf8_replace(value.get());
  return host::str(value.get());
}

// commit.message.split(b"\n", 1)[0], decoded: only a line feed ends the
// summary, so a carriage return before it stays.
Ref summary_text(PyObject* commit) {
  static const host::Interned message{"message"};
  static const host::Interned split{"split"};
  Ref value = host::getattr(commit, message);
  if (PyBytes_Check(value.get())) {
    const char* data = PyBytes_AS_STRING(value.get());
    const Py_ssize_t size = PyBytes_GET_SIZE(value.get());
    const void* newline = std::memchr(data, '\n', static_cast<std::size_t>(size));
    const Py_ssize_t length = newline != nullptr ? static_cast<const char*>(newline) - data : size;
    return Ref::check(PyUnicode_DecodeUTF8(data, length, "replace"));
  }
  Ref separator = host::bytes("\n");
  Ref once = host::integer(1);
  Ref parts = host::call_method(value.get(), split, {separator.get(), once.get()});
  Ref zero = host::integer(0);
  return host::decode_utf8_replace(host::getitem(parts.get(), zero.get()).get());
}

// The list being built: a record per listed commit, each marked pushed or not.
class CommitList {
 public:
  explicit CommitList(PyObject* remote_commits) : remote_commits_(remote_commits) {}

  // Appends the record of a walked commit.
  void append(PyObject* sha, PyObject* commit) {
    static const host::Interned commit_time{"commit_time"};
    Ref author = author_text(commit);
    Ref summary = summary_text(commit);
    const bool pushed = is_pushed(sha);
    Ref time = host::getattr(commit, commit_time);
    append(sha, summary.get(), author.get(), Ref::check(PyNumber_Long(time.get())).get(), pushed);
  }
  // The same for a commit the store read: its fields as they are stored.
  void append(const ListedCommit& commit) {
    Ref sha = host::text(commit.id.hex());
    Ref author = Ref::check(PyUnicode_DecodeUTF8(commit.author.data(), std::ssize(commit.author), "replace"));
    Ref summary = Ref::check(PyUnicode_DecodeUTF8(commit.summary.data(), std::ssize(commit.summary), "replace"));
    const bool pushed = is_pushed(sha.get());
    append(sha.get(), summary.get(), author.get(), host::integer(commit.commit_time).get(), pushed);
  }
  std::size_t size() const { return static_cast<std::size_t>(PyList_GET_SIZE(list_.get())); }
  Ref take() { return std::move(list_); }

 private:
  bool is_pushed(PyObject* sha) { return host::check(PySequence_Contains(remote_commits_, sha)) != 0; }

  void append(PyObject* sha, PyObject* summary, PyObject* author, PyObject* timestamp, bool pushed) {
    // The record class is looked up when the first record is made, as the
    // host would look up the name: a list with no records never needs it.
    if (!maker_) maker_.emplace(core::Record::CommitInfo);
    Ref record = maker_->make({sha, summary, author, timestamp, host::boolean(pushed)});
    host::append(list_.get(), record.get());
  }

  PyObject* remote_commits_;
  std::optional<core::RecordMaker> maker_;
  Ref list_ = host::new_list();
};

// The merge base of `branch` with "main", else with "master"; null when
// neither gives one.
Ref find_merge_base(Service& self, PyObject* branch) {
  static const host::Interned get_merge_base{"get_merge_base"};
  for (const std::string_view base : kBaseBranchNames) {
    Ref base_name = host::text(base);
    Ref merge_base = host::call_method(self.object(), get_merge_base, {branch, base_name.get()});
    if (host::truthy(merge_base.get())) return merge_base;
  }
  return Ref();
}

// The listing through the library: the walk from `head_sha` under the
// listing's rule, `stops_here(sha)` and `hidden(sha)` telling the rule about
// each commit.
template <class StopsHere, class Hidden>
Ref walk_and_list(Service& self, PyObject* head_sha, PyObject* remote_commits, ListingRule rule, IdFormat& format,
                  StopsHere&& stops_here, Hidden&& hidden) {
  CommitList commits(remote_commits);
  WalkItems items = walk_from(self, head_sha, -1);
  Ref id;
  Ref commit;
  while (items.next(id, commit)) {
    Ref sha = listing_id_text(id.get(), format);
    const auto verdict = rule.judge(stops_here(sha.get()), hidden(sha.get()));
    if (verdict == ListingRule::Verdict::End) break;
    if (verdict == ListingRule::Verdict::Pass) continue;
    commits.append(sha.get(), commit.get());
    if (rule.complete(commits.size())) break;
  }
  return commits.take();
}

// The store's road of the listing: the walk and the two methods the listing
// reaches through self are the class's own.
std::optional<core::ObjectDatabase> listing_road(Service& self) {
  static const host::Interned get_remote_commits{"_get_remote_commits"};
  static const host::Interned get_merge_base{"get_merge_base"};
  return walk_road(self, {&get_remote_commits, &get_merge_base});
}

// The listing as the store would walk it; nothing when the head is not in
// the form the store reads.
std::optional<ListingPlan> listing_plan(PyObject* head_sha, int max_count, int skip, store::HashFormat format) {
  const std::optional<ObjectId> head = core::hex_object_id(head_sha, format);
  if (!head) return std::nullopt;
  ListingPlan plan;
  plan.head = *head;
  plan.max_count = max_count;
  plan.skip = skip;
  return plan;
}

// The listing the store read, as records; null when its walk declined.
Ref list_natively(const core::ObjectDatabase& road, const ListingPlan& plan, PyObject* remote_commits) {
  const std::optional<std::vector<ListedCommit>> listed = listed_commits(road, plan);
  if (!listed) return Ref();
  CommitList commits(remote_commits);
  for (const ListedCommit& commit : *listed) commits.append(commit);
  return commits.take();
}

// The branch from its head down to, not including, its merge base.
Ref full_history(Service& self, PyObject* branch, PyObject* head_sha, PyObject* remote_commits, int max_count,
                 int skip) {
  static const host::Interned fromhex{"fromhex"};
  Ref merge_base = find_merge_base(self, branch);
  Ref stop_at;
  if (merge_base) {
    // A merge base that is no hexadecimal text is refused as bytes.fromhex
    // refuses it, before any commit is read.
    host::call_method(reinterpret_cast<PyObject*>(&PyBytes_Type), fromhex, {merge_base.get()});
    stop_at = host::lower(merge_base.get());
  }
  if (const auto road = listing_road(self)) {
    if (std::optional<ListingPlan> plan = listing_plan(head_sha, max_count, skip, road->format)) {
      // A text that is no id of the format's lowercase digits names no
      // walked commit: the walk then ends only where it would without a
      // merge base.
      if (stop_at) plan->stop_at = core::text_object_id(stop_at.get(), road->format);
      if (Ref listed = list_natively(*road, *plan, remote_commits)) return listed;
    }
  }
  IdFormat format(self);
  return walk_and_list(
      self, head_sha, remote_commits, ListingRule(max_count, skip), format,
      [&](PyObject* sha) { return stop_at && host::equal(sha, stop_at.get()); }, [](PyObject*) { return false; });
}

// The whole history of the branch, less the nearest commits of its base
// branch (nothing hidden for the base branches themselves).
Ref default_view(Service& self, BranchBase& branch_base, PyObject* head_sha, PyObject* remote_commits, int max_count,
                 int skip) {
  const BaseBranch& base = branch_base.base();
  if (const auto road = listing_road(self)) {
    std::optional<ListingPlan> plan = listing_plan(head_sha, max_count, skip, road->format);
    if (plan && base) {
      plan->hidden_base = core::hex_object_id(base.head.get(), road->format);
      plan->hidden_limit = kBaseCommitLimit;
      // A base head the store cannot read is hidden through the library.
      if (!plan->hidden_base) plan.reset();
    }
    if (plan) {
      if (Ref listed = list_natively(*road, *plan, remote_commits)) return listed;
    }
  }
  HostIdTextSet base_ids;
  IdFormat format(self);
  branch_base.collect_ids(kBaseCommitLimit, listing_id_text, format, base_ids);
  return walk_and_list(
      self, head_sha, remote_commits, ListingRule(max_count, skip), format, [](PyObject*) { return false; },
      [&](PyObject* sha) { return base_ids.contains(sha); });
}

}  // namespace

Ref list_commits(Service& self, PyObject* branch, int max_count, int skip, PyObject* show_full_history) {
  static const host::Interned get_remote_commits{"_get_remote_commits"};
  Ref head_sha = read_ref(self, ref_name("refs/heads/", branch).get());
  Ref remote_commits = host::call_method(self.object(), get_remote_commits, {branch});
  BranchBase branch_base(self, branch);
  if (host::truthy(show_full_history) && !branch_base.branch_is_base()) {
    return full_history(self, branch, head_sha.get(), remote_commits.get(), max_count, skip);
  }
  return default_view(self, branch_base, head_sha.get(), remote_commits.get(), max_count, skip);
}

}  // namespace history
