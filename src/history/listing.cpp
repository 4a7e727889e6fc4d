// The history pane's commit list, in its default and full-history views.
#include <cstring>
#include <optional>

#include "core/records.h"
#include "history/base_branch.h"
#include "history/history.h"
#include "history/id_text.h"
#include "history/native.h"
#include "history/walk.h"

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

// The list being built, with the limit that ends it.
class CommitList {
 public:
  CommitList(PyObject* remote_commits, int max_count) : remote_commits_(remote_commits), max_count_(max_count) {}

  // Appends the record of a walked commit; true once the list holds
  // `max_count` records (tested only after appending, so a limit of 0 or less
  // still lets one record in).
  bool append(PyObject* sha, PyObject* commit) {
    static const host::Interned commit_time{"commit_time"};
    Ref author = author_text(commit);
    Ref summary = summary_text(commit);
    const bool pushed = is_pushed(sha);
    Ref time = host::getattr(commit, commit_time);
    return append(sha, summary.get(), author.get(), Ref::check(PyNumber_Long(time.get())).get(), pushed);
  }
  // The same for a commit the store read: its fields as they are stored.
  bool append(const ListedCommit& commit) {
    Ref sha = host::text(commit.id.hex());
    Ref author = Ref::check(PyUnicode_DecodeUTF8(commit.author.data(), std::ssize(commit.author), "replace"));
    Ref summary = Ref::check(PyUnicode_DecodeUTF8(commit.summary.data(), std::ssize(commit.summary), "replace"));
    const bool pushed = is_pushed(sha.get());
    return append(sha.get(), summary.get(), author.get(), host::integer(commit.commit_time).get(), pushed);
  }
  Ref take() { return std::move(list_); }

 private:
  bool is_pushed(PyObject* sha) { return host::check(PySequence_Contains(remote_commits_, sha)) != 0; }

  bool append(PyObject* sha, PyObject* summary, PyObject* author, PyObject* timestamp, bool pushed) {
    // The record class is looked up when the first record is made, as the
    // host would look up the name: a list with no records never needs it.
    if (!maker_) maker_.emplace(core::Record::CommitInfo);
    Ref record = maker_->make({sha, summary, author, timestamp, host::boolean(pushed)});
    host::append(list_.get(), record.get());
    return PyList_GET_SIZE(list_.get()) >= max_count_;
  }

  PyObject* remote_commits_;
  int max_count_;
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

// What the walk does with a commit before the skip and the limit apply.
enum class Verdict { List, Pass, End };

// The commits of the walk from `head_sha` that `judge(sha)` lets through,
// after the first `skip` of them (commits passed over do not count), up to
// `max_count` records.
template <class Judge>
Ref walk_and_list(Service& self, PyObject* head_sha, PyObject* remote_commits, int max_count, int skip,
                  IdFormat& format, Judge&& judge) {
  CommitList commits(remote_commits, max_count);
  int skipped = 0;
  WalkItems items = walk_from(self, head_sha, -1);
  Ref id;
  Ref commit;
  while (items.next(id, commit)) {
    Ref sha = listing_id_text(id.get(), format);
    const Verdict verdict = judge(sha.get());
    if (verdict == Verdict::End) break;
    if (verdict == Verdict::Pass) continue;
    if (skipped < skip) {
      ++skipped;
      continue;
    }
    if (commits.append(sha.get(), commit.get())) break;
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
  CommitList commits(remote_commits, plan.max_count);
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
  return walk_and_list(self, head_sha, remote_commits, max_count, skip, format, [&](PyObject* sha) {
    return stop_at && host::equal(sha, stop_at.get()) ? Verdict::End : Verdict::List;
  });
}

// The whole history of the branch, less the nearest commits of its base
// branch (nothing hidden for the base branches themselves).
Ref default_view(Service& self, PyObject* branch, PyObject* head_sha, PyObject* remote_commits, int max_count,
                 int skip) {
  const bool hides_base = !is_base_branch(branch);
  const BaseBranch base = hides_base ? base_of(self, branch) : BaseBranch{};
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
  if (hides_base) collect_base_branch_ids(self, branch, base, kBaseCommitLimit, listing_id_text, format, base_ids);
  return walk_and_list(self, head_sha, remote_commits, max_count, skip, format, [&](PyObject* sha) {
    return hides_base && base_ids.contains(sha) ? Verdict::Pass : Verdict::List;
  });
}

}  // namespace

Ref list_commits(Service& self, PyObject* branch, int max_count, int skip, PyObject* show_full_history) {
  static const host::Interned get_remote_commits{"_get_remote_commits"};
  Ref head_sha = read_ref(self, ref_name("refs/heads/", branch).get());
  Ref remote_commits = host::call_method(self.object(), get_remote_commits, {branch});
  if (host::truthy(show_full_history) && !is_base_branch(branch)) {
    return full_history(self, branch, head_sha.get(), remote_commits.get(), max_count, skip);
  }
  return default_view(self, branch, head_sha.get(), remote_commits.get(), max_count, skip);
}

}  // namespace history
