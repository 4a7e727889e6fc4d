// A repository's references as dulwich's disk reference container reads
// them (dulwich/refs.py: DiskRefsContainer, RefsContainer.follow): loose ref
// files under the git directory, then packed-refs; symbolic refs followed.
// Only the plain shapes are read here. A ref file that is not 40 lowercase
// hexadecimal digits and a newline or "ref: " and a name, a name dulwich
// would refuse or warn about, a packed-refs file that is not plain, a chain
// of symbolic refs dulwich would call a loop: each is Declined, and the
// caller asks dulwich, whose answer or exception then stands.
//
// One RefFiles serves one method call: files are read afresh by every new
// one, and packed-refs is mapped the first time a call needs it (the check
// of its shape is kept under the file's identity).
#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/buffer.h"
#include "store/mapped_file.h"
#include "store/packed_refs.h"

namespace store {

// A ref's raw value, as read_ref() gives it without following it.
struct RefValue {
  bool symbolic = false;
  std::string text;  // the target's name when symbolic, else 40 hexadecimal digits
};

class RefFiles {
 public:
  // `git_dir`: the repository's git directory, which is also its common
  // directory (not a linked worktree's).
  explicit RefFiles(std::string git_dir) : git_dir_(std::move(git_dir)) {}

  // refs.read_ref(name): the loose file's value, else the packed one.
  RefRead read_ref(std::string_view name, RefValue& value);

  // refs[name]: the id (40 lowercase hexadecimal digits) that `name`
  // resolves to, symbolic refs followed as dulwich's follow() follows them.
  // Missing where dulwich raises KeyError(name).
  RefRead resolve(std::string_view name, std::string& hex);

  // Each ref that refs.keys() lists under `prefix` (a directory such as
  // "refs/heads/"), with what refs[name] gives for it: each(name, hex), hex
  // being empty where refs[name] raises KeyError. Each name comes once, in
  // no particular order. When the answer is Declined, what `each` was given
  // before is to be dropped.
  RefRead for_each(std::string_view prefix, const EachRef& each);

 private:
  enum class Loose : std::uint8_t { Found, Missing, Declined };
  Loose read_loose(std::string_view name, RefValue& value);
  bool list_loose(std::string_view prefix, std::vector<std::string>& names);
  bool walk_loose(const std::string& directory, std::vector<std::string>& names);
  // packed-refs, opened the first time it is needed: null when there is none.
  RefRead packed(const PackedRefs*& refs);

  std::string git_dir_;
  platform::Buffer buffer_;
  enum class PackedState : std::uint8_t { Unread, Absent, Ready, Declined } packed_state_ = PackedState::Unread;
  std::shared_ptr<const MappedFile> packed_file_;
  std::unique_ptr<PackedRefs> packed_refs_;
};

}  // namespace store
