// Commits, trees and tags parsed natively, in the shapes where the answer is
// provably the one dulwich's parsers give. Outside those shapes the parsers
// decline, and the caller reads the object through dulwich.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string_view>
#include <vector>

#include "store/object_id.h"

namespace store {

class ObjectStore;

// A commit as dulwich's `Commit` sees it. Views into the content parsed.
struct Commit {
  // "parent " <hex> "\n": the one shape of a parent line the parser takes.
  static constexpr std::size_t kParentLabel = 7;
  static constexpr std::size_t kParentLine = kParentLabel + kHexSize + 1;

  std::string_view tree_hex;      // kHexSize lowercase hex digits
  std::string_view parent_lines;  // the parent lines, kParentLine bytes each
  std::string_view author;        // `commit.author`: the person, up to its last '>'
  std::int64_t commit_time = 0;   // `commit.commit_time`: the committer's seconds
  std::string_view message;       // `commit.message`: everything after the blank line

  ObjectId tree() const { return *ObjectId::from_hex(tree_hex); }
  std::size_t parent_count() const { return parent_lines.size() / kParentLine; }
  std::string_view parent_hex(std::size_t i) const {
    return parent_lines.substr(kParentLine * i + kParentLabel, kHexSize);
  }
  ObjectId parent(std::size_t i) const { return *ObjectId::from_hex(parent_hex(i)); }
};

// The plain shape: `tree`, `parent`*, `author`, `committer` lines in that
// order, each a single line (ids in lowercase hex, the two people as
// `<person> <digits> <+|-><digits>`), then any other headers with their
// continuation lines (a `mergetag` only when dulwich parses it without
// raising), an empty line and the message. Anything else gives nullopt.
std::optional<Commit> parse_commit(std::string_view content);

struct TreeEntry {
  std::string_view name;
  std::uint32_t mode = 0;
  ObjectId id;
};

inline bool is_directory_mode(std::uint32_t mode) { return (mode & 0170000) == 0040000; }

// The entries of a tree in stored order, as dulwich's tree iterates them.
// False (entries unspecified) for an empty or '/'-holding name, a repeated
// name (dulwich keeps one), a mode that is not 1-7 octal digits, or a
// truncated entry.
bool parse_tree(std::string_view content, std::vector<TreeEntry>& entries);

// True when a tag has the shape dulwich parses without raising: `object`,
// `type` and `tag` headers, an optional well-formed `tagger`, other headers,
// then the message. (dulwich parses loose objects as it reads them.)
bool plain_tag(std::string_view content);

// True when dulwich parses an object of this type and content without
// raising, as far as the store can tell (blobs always).
bool parses_like_dulwich(ObjectType type, std::string_view content);

// Calls visit(path, mode, id) for every entry below `tree` that is not a
// directory, depth first, in each tree's stored order, paths joined with
// '/'. False (after some visits) when a tree could not be read or is not in
// the plain shape: the caller then builds the whole map through dulwich.
using TreeVisitor = std::function<void(std::string_view path, std::uint32_t mode, const ObjectId& id)>;
bool flatten_tree(ObjectStore& store, const ObjectId& tree, const TreeVisitor& visit);

}  // namespace store
