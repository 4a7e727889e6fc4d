// Commits, trees and tags parsed natively, in the shapes where the answer is
// provably the one dulwich's parsers give. Outside those shapes the parsers
// decline, and the caller reads the object through dulwich.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "store/object_id.h"

namespace store {

class ObjectStore;

// A commit as dulwich's `Commit` sees it. Views into the content parsed.
struct Commit {
  // "parent " <hex> "\n": the one shape of a parent line the store holds.
  static constexpr std::size_t kParentLabel = 7;
  static constexpr std::size_t parent_line_size(HashFormat format) { return kParentLabel + hex_size(format) + 1; }

  // The repository's object format, which the ids below are written in.
  HashFormat format = HashFormat::Sha1;
  // `commit.tree`: the format's lowercase hex digits.
  std::string_view tree_hex;
  // `commit.parents` (the run of parent lines right after the tree): from
  // the first line's label to the last line's id, lines
  // parent_line_size(format) apart.
  std::string_view parent_lines;
  // `commit.author`: the person as it stands in the content; nullopt when
  // the commit has no author line. Where it spans continuation lines,
  // dulwich's text is `unfolded(*author)`.
  std::optional<std::string_view> author;
  // `commit.commit_time`; nullopt when dulwich gives None (no committer, or
  // one without "> ") and when the number does not fit in 64 bits
  // (`commit_time_overflows`).
  std::optional<std::int64_t> commit_time;
  bool commit_time_overflows = false;
  // `commit.message`: everything after the empty line that ends the
  // headers; nullopt when the headers run to the end.
  std::optional<std::string_view> message;

  ObjectId tree() const { return *ObjectId::from_hex(tree_hex, format); }
  std::size_t parent_count() const { return (parent_lines.size() + 1) / parent_line_size(format); }
  std::string_view parent_hex(std::size_t i) const {
    return parent_lines.substr(parent_line_size(format) * i + kParentLabel, hex_size(format));
  }
  ObjectId parent(std::size_t i) const { return *ObjectId::from_hex(parent_hex(i), format); }
};

// Every commit dulwich parses (`_parse_commit`) without raising, with the
// fields it gives. Declines (nullopt) what dulwich raises on, and what the
// store cannot hold exactly: a tree or parent id that is not the format's
// lowercase hex digits (dulwich hands out the text as it stands, uppercase, or
// with the other format's length), and a time or zone of more than 640 digits in a person or a
// mergetag's tagger (the host's limit on int() may be set that low; its
// default is 4300).
std::optional<Commit> parse_commit(std::string_view content, HashFormat format);

// The text of a header value that spans continuation lines, as dulwich
// reads it: each line after the first without the space that starts it.
std::string unfolded(std::string_view raw);

struct TreeEntry {
  std::string_view name;
  std::uint32_t mode = 0;
  ObjectId id;
};

inline bool is_directory_mode(std::uint32_t mode) { return (mode & 0170000) == 0040000; }

// The entries of a tree in stored order, as dulwich's tree iterates them,
// each id the format's raw size. False (entries unspecified) for an empty or
// '/'-holding name, a repeated name (dulwich keeps one), a mode that is not
// 1-7 octal digits, or a truncated entry.
bool parse_tree(std::string_view content, HashFormat format, std::vector<TreeEntry>& entries);

// True when a tag has the shape dulwich parses without raising: `object`,
// `type` and `tag` headers, an optional well-formed `tagger`, other headers,
// then the message. (dulwich parses loose objects as it reads them.)
bool plain_tag(std::string_view content, HashFormat format);

// True when dulwich parses an object of this type and content without
// raising, as far as the store can tell (blobs always; commits exactly, with
// the host's default limit on int()).
bool parses_like_dulwich(ObjectType type, std::string_view content, HashFormat format);

// Calls visit(path, mode, id) for every entry below `tree` that is not a
// directory, depth first, in each tree's stored order, paths joined with
// '/'. False (after some visits) when a tree could not be read or is not in
// the plain shape: the caller then builds the whole map through dulwich.
using TreeVisitor = std::function<void(std::string_view path, std::uint32_t mode, const ObjectId& id)>;
bool flatten_tree(ObjectStore& store, const ObjectId& tree, const TreeVisitor& visit);

}  // namespace store
