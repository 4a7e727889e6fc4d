// A repository's references as dulwich's disk reference container reads
// them (dulwich/refs.py: DiskRefsContainer, RefsContainer.follow): loose ref
// files under the git directory, then packed-refs; symbolic refs followed.
// Only the plain shapes are read here. A ref file that is not 40 or 64 lowercase
// hexadecimal digits and a newline or "ref: " and a name, a name dulwich
// would refuse or warn about, a packed-refs file that is not plain, a chain
// of symbolic refs dulwich would call a loop: each is Declined, and the
// caller asks dulwich, whose answer or exception then stands. A repository
// that keeps its refs in reftables is read as dulwich's reftable container
// reads it instead (reftable.h).
//
// One RefFiles serves one method call: loose files are read afresh by every
// new one, and packed-refs is looked at the first time a call needs it (read
// whole once per file identity, see read_packed_refs); so are reftables.
//
// A ref file, HEAD, packed-refs, tables.list or a table that is a pipe, a
// socket or a device (or a link to one) throws FileError (file_error.h):
// dulwich would wait on it for ever or read it without end; so does a table
// over a gigabyte. Nothing else here throws except std::bad_alloc.
#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/buffer.h"
#include "store/mapped_file.h"
#include "store/packed_refs.h"
#include "store/reftable.h"

namespace store {

// A packed-refs file read whole, with what one pass over it learnt. Never
// mapped: another program may cut the file short in place while it is read,
// which a mapping would turn into a fatal signal.
struct PackedRefsFile {
  FileIdentity identity;  // of the file read
  platform::Buffer bytes;
  std::string_view text() const { return bytes.view(); }
  PackedRefsShape shape;
  bool names_replace_refs = false;  // "refs/replace/" appears in it (the commit-graph then stays unused)
};

// The packed-refs file at `path` as it is now: Present with `file` set, Absent
// when nothing is there, Unusable when it cannot be read (a directory, no
// permission). Throws FileError for a pipe, a socket or a device. A file is
// read once per identity: what was read is kept under its path (a bounded
// number of paths) and used again while the path shows the same file.
// Thread-safe.
FileState read_packed_refs(const std::string& path, std::shared_ptr<const PackedRefsFile>& file);

// A ref's raw value, as read_ref() gives it without following it.
struct RefValue {
  bool symbolic = false;
  std::string text;  // the target's name when symbolic, else the id's lowercase hexadecimal digits
};

// Where a repository keeps its refs: loose files and packed-refs (read as
// dulwich's DiskRefsContainer reads them), or reftables (as its
// ReftableRefsContainer reads them, see reftable.h).
enum class RefStorage : std::uint8_t { Files, Reftable };

class RefFiles {
 public:
  // `git_dir`: the repository's git directory, which is also its common
  // directory (not a linked worktree's). `id_size`: the size of the
  // repository's ids, which reftables must hold (0: any).
  explicit RefFiles(std::string git_dir, RefStorage storage = RefStorage::Files, std::size_t id_size = 0)
      : git_dir_(std::move(git_dir)), storage_(storage), tables_(git_dir_, id_size) {}

  RefStorage storage() const { return storage_; }

  // refs.read_ref(name): the loose file's value, else the packed one; in
  // reftables, the latest table's record (Missing where dulwich raises
  // KeyError(name) there, as its read_loose_ref does).
  Outcome read_ref(std::string_view name, RefValue& value);

  // refs[name]: the id (lowercase hexadecimal digits) that `name` resolves
  // to, symbolic refs followed as dulwich's follow() follows them. Missing
  // where dulwich raises KeyError: for `missing`, which is `name` with ref
  // files, and the name in the chain no table holds with reftables.
  Outcome resolve(std::string_view name, std::string& hex, std::string* missing = nullptr);

  // Each ref that refs.keys() lists under `prefix` (a directory such as
  // "refs/heads/"), with what refs[name] gives for it: each(name, hex), hex
  // being empty where refs[name] raises KeyError. Each name comes once, in
  // no particular order (in reftables, ascending). When the answer is
  // Declined, what `each` was given before is to be dropped.
  Outcome for_each(std::string_view prefix, const EachRef& each);

 private:
  Outcome read_loose(std::string_view name, RefValue& value);
  bool list_loose(std::string_view prefix, std::vector<std::string>& names);
  bool walk_loose(const std::string& directory, std::vector<std::string>& names);
  // packed-refs, read the first time it is needed: null when there is none.
  Outcome packed(const PackedRefs*& refs);

  std::string git_dir_;
  RefStorage storage_;
  ReftableRefs tables_;
  platform::Buffer buffer_;
  bool packed_read_ = false;
  Outcome packed_outcome_ = Outcome::Found;  // Declined when packed-refs is not ours to read
  std::shared_ptr<const PackedRefsFile> packed_file_;
  std::unique_ptr<PackedRefs> packed_refs_;
};

}  // namespace store
