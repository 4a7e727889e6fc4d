// The remote-commit set: which commits origin's branch of the same name has.
#include "history/history.h"
#include "history/id_text.h"
#include "history/native.h"
#include "history/reading.h"
#include "history/walk.h"

namespace history {

namespace {
// Only the commits nearest the remote head are looked at: enough to mark a
// page of history as pushed, at a bounded cost.
constexpr int kRemoteCommitLimit = 200;
}  // namespace

Ref get_remote_commits(Service& self, PyObject* branch) {
  Ref remote_commits = host::new_set();
  Ref name = ref_name("refs/remotes/origin/", branch);
  // A missing remote branch or any other trouble reading it ends the
  // collection: the pane then simply shows fewer commits as pushed.
  try {
    Ref remote_head = read_ref(self, name.get());
    if (const auto road = walk_road(self)) {
      if (const std::optional<ObjectId> head = core::hex_object_id(remote_head.get(), road->format)) {
        if (const auto ids = walked_ids(*road, *head, kRemoteCommitLimit)) {
          for (const ObjectId& id : *ids) host::add(remote_commits.get(), host::text(id.hex()).get());
          return remote_commits;
        }
      }
    }
    IdFormat format(self);
    WalkItems items = walk_from(self, remote_head.get(), kRemoteCommitLimit);
    Ref id;
    Ref commit;
    while (items.next(id, commit)) host::add(remote_commits.get(), walked_id_text(id.get(), format).get());
  } catch (const host::Error&) {
    host::except_exception();
  }
  return remote_commits;
}

}  // namespace history
