// References kept in reftables (<git dir>/reftable: tables.list and the
// *.ref tables it names, oldest first), as git reads them, and whether
// dulwich's ReftableRefsContainer (dulwich/reftable.py) reads the same.
//
// git's reading is the one here: a header of version 1 (SHA-1 ids) or 2 (its
// hash id, "sha1" or "s256"), ref blocks with prefix-compressed names and
// restart points, a footer that repeats the header and carries a CRC-32. A
// table is taken only when it is one git writes: every offset, length, varint
// and restart point is checked where it is used, names ascend strictly, and
// anything else (a truncated table, a restart past its block, a prefix longer
// than the name before it, a varint that overflows) declines.
//
// dulwich's reader is a reading of its own: it reads only version 1, walks
// the blocks four bytes of header at a time without the first block's
// header, looks for the first restart point's bytes (00 00 1c) to find the
// end of a ref block's records, reads varints least significant group first
// and a record's suffix length by a guess, and stops at the first record it
// cannot decode. Where all tables are version 1 its reading is the authority,
// so the stack is then used only when a faithful replay of that reading
// (read_reftable_as_dulwich) gives exactly git's refs. Where a table is of
// version 2, dulwich raises on every read, and git's reading stands.
//
// Tables are read whole, never mapped: another program may rewrite or remove
// them while they are read. Pure C++. A tables.list or a table that is a
// pipe, a socket or a device, or a table over a gigabyte, throws FileError
// (file_error.h), as dulwich would wait on it or read it without end;
// nothing else here throws but std::bad_alloc.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "store/outcome.h"
#include "store/packed_refs.h"

namespace store {

// A record's value type, numbered as in the format.
enum class ReftableKind : std::uint8_t { Deletion = 0, Id = 1, Peeled = 2, Symbolic = 3 };

// One ref record, its value as dulwich keeps it: the id's lowercase
// hexadecimal digits (Id), the id's digits then those of the id it peels to
// (Peeled), the target's name (Symbolic), or nothing (Deletion).
struct ReftableRef {
  std::string name;
  ReftableKind kind = ReftableKind::Deletion;
  std::string value;
  std::uint64_t update_index = 0;

  bool operator==(const ReftableRef&) const = default;
};

// One table as git reads it.
struct Reftable {
  std::uint8_t version = 0;
  std::size_t id_size = 0;  // 20 for "sha1", 32 for "s256"
  std::uint64_t min_update_index = 0;
  std::uint64_t max_update_index = 0;
  std::vector<ReftableRef> refs;  // in strictly ascending order of names
};

// git's reading of a whole table: Found, or Declined (saying why) when it is
// not one git writes.
Outcome read_reftable(std::string_view bytes, Reftable& table);

// What dulwich's ReftableReader gives for the same bytes: its
// min_update_index and its all_refs(), name -> (value type, value).
struct DulwichReftable {
  std::uint64_t min_update_index = 0;
  std::map<std::string, std::pair<std::uint8_t, std::string>> refs;
};

// A replay of dulwich's reading of a whole table: false where dulwich raises
// (a version other than 1 among them), or where the replay cannot be sure
// to follow it (a length too large for a Python read).
bool read_reftable_as_dulwich(std::string_view bytes, DulwichReftable& table);

// Whose reading of a stack is asked for: git's, where dulwich reads it
// alike or cannot read it at all (AsDulwich), or git's alone (AsGit: what
// git itself sees, for the reads that stand for git's own).
enum class ReftableReading : std::uint8_t { AsDulwich, AsGit };

// The refs of a list of tables, merged (defined where they are read).
struct MergedTables;

// The merged refs of a repository's reftables, as one method call reads them.
class ReftableStack {
 public:
  // Reads <git_dir>/reftable/tables.list and every table it names, whole.
  // Declined when a name is one dulwich refuses or is not a plain file name,
  // a table cannot be read (a missing one after tables.list was read again
  // and found unchanged), is not one git writes, or the tables disagree on
  // their ids' size; and, AsDulwich, where every table is of version 1,
  // when dulwich's reading of them differs from git's. No tables.list: no
  // refs.
  // With `id_size` other than 0, tables that hold ids of another size (not
  // the repository's object format, which git refuses) are declined too.
  Outcome read(const std::string& git_dir, ReftableReading reading = ReftableReading::AsDulwich,
               std::size_t id_size = 0);

  // The size of the ids the tables hold (20 or 32); 0 with no table.
  std::size_t id_size() const;
  // Whether dulwich reads these tables (all of version 1); false where it
  // raises on them (a table of version 2).
  bool dulwich_reads() const;

  // The ref `name` holds after every table, later ones first; null when no
  // table has it or the latest record of it is a deletion.
  const ReftableRef* find(std::string_view name) const;

  // Every ref that is not deleted, in ascending order of names.
  const std::vector<ReftableRef>& refs() const;

 private:
  // What was read: shared with later reads of the same files (tables are
  // read once per file identity, the merge once per list of them).
  std::shared_ptr<const MergedTables> merged_;
};

// Drops what was kept of tables read before (the tests use it to count reads).
void clear_reftable_cache();

// dulwich's ReftableRefsContainer over a stack: what its methods answer.
class ReftableRefs {
 public:
  // `id_size`: the size of the repository's ids (0: any).
  explicit ReftableRefs(std::string git_dir, std::size_t id_size = 0)
      : git_dir_(std::move(git_dir)), id_size_(id_size) {}

  // refs.read_ref(name) (read_loose_ref): the raw value, `symbolic` telling
  // a target's name from an id's digits (the first id of a peeled record).
  // Missing where dulwich raises KeyError(name).
  Outcome read_ref(std::string_view name, bool& symbolic, std::string& text);

  // refs[name]: the id `name` resolves to, symbolic refs followed (five
  // reads at most, as dulwich's follow()). Missing where dulwich raises
  // KeyError, `missing` then being the name it raises for (the first one
  // of the chain that no table holds). Declined for a chain too long,
  // where dulwich raises ValueError.
  Outcome resolve(std::string_view name, std::string& hex, std::string& missing);

  // Each name refs.keys() lists under `prefix` (the names the tables hold
  // and the targets of their symbolic refs), with what refs[name] gives for
  // it: each(name, hex), hex being empty where refs[name] raises KeyError.
  // In ascending order of names.
  Outcome for_each(std::string_view prefix, const EachRef& each);

  // The stack, read the first time it is needed (Declined when it cannot be).
  Outcome stack(const ReftableStack*& stack);

 private:
  std::string git_dir_;
  std::size_t id_size_;
  bool stack_read_ = false;
  Outcome stack_outcome_ = Outcome::Found;
  ReftableStack stack_;
};

}  // namespace store
