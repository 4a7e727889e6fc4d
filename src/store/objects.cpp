#include "store/objects.h"

#include <algorithm>
#include <array>
#include <memory>
#include <string>

#include "store/object_store.h"

namespace store {

namespace {

bool all_digits(std::string_view text, std::size_t most) {
  if (text.empty() || text.size() > most) return false;
  for (const char ch : text) {
    if (ch < '0' || ch > '9') return false;
  }
  return true;
}

// The value of a header line `<label><value>`; nothing when the line has
// another label.
std::optional<std::string_view> value_after(std::string_view line, std::string_view label) {
  if (!line.starts_with(label)) return std::nullopt;
  return line.substr(label.size());
}

// One header line at `at`: its text without the newline. False when no
// newline ends it.
bool next_line(std::string_view content, std::size_t at, std::string_view& line) {
  const std::size_t end = content.find('\n', at);
  if (end == std::string_view::npos) return false;
  line = content.substr(at, end - at);
  return true;
}

// An author, committer or tagger value as dulwich's parse_time_entry reads
// it, narrowed to `<person> <digits> <sign><digits>`: sets the person and
// the seconds.
bool parse_person(std::string_view value, std::string_view& person, std::int64_t& seconds) {
  const std::size_t sep = value.rfind("> ");
  if (sep == std::string_view::npos) return false;
  person = value.substr(0, sep + 1);
  const std::string_view rest = value.substr(sep + 2);
  const std::size_t space = rest.find(' ');
  if (space == std::string_view::npos) return false;
  const std::string_view time = rest.substr(0, space);
  const std::string_view zone = rest.substr(space + 1);
  if (!all_digits(time, 18)) return false;
  if (zone.size() < 2 || (zone[0] != '+' && zone[0] != '-') || !all_digits(zone.substr(1), 9)) return false;
  seconds = 0;
  for (const char ch : time) seconds = seconds * 10 + (ch - '0');
  return true;
}

// True when dulwich's header reader goes through `text` without raising:
// every line before the first empty one holds a space.
bool headers_split(std::string_view text) {
  std::size_t at = 0;
  while (at < text.size()) {
    std::size_t end = text.find('\n', at);
    const bool last = end == std::string_view::npos;
    if (last) end = text.size();
    const std::string_view line = text.substr(at, end - at);
    if (line.empty() && !last) return true;
    if (line.find(' ') == std::string_view::npos) return false;
    at = end + 1;
  }
  return true;
}

}  // namespace

std::optional<Commit> parse_commit(std::string_view content) {
  Commit commit;
  std::size_t at = 0;
  std::string_view line;
  if (!next_line(content, at, line)) return std::nullopt;
  const std::optional<std::string_view> tree = value_after(line, "tree ");
  if (!tree || !is_hex_id(*tree)) return std::nullopt;
  commit.tree_hex = *tree;
  at += line.size() + 1;
  const std::size_t parents_start = at;
  while (next_line(content, at, line)) {
    const std::optional<std::string_view> parent = value_after(line, "parent ");
    if (!parent) break;
    if (!is_hex_id(*parent)) return std::nullopt;
    at += line.size() + 1;
  }
  commit.parent_lines = content.substr(parents_start, at - parents_start);

  std::int64_t ignored = 0;
  if (!next_line(content, at, line)) return std::nullopt;
  const std::optional<std::string_view> author = value_after(line, "author ");
  if (!author || !parse_person(*author, commit.author, ignored)) return std::nullopt;
  at += line.size() + 1;
  if (!next_line(content, at, line)) return std::nullopt;
  const std::optional<std::string_view> committer = value_after(line, "committer ");
  std::string_view committer_person;
  if (!committer || !parse_person(*committer, committer_person, commit.commit_time)) return std::nullopt;
  at += line.size() + 1;

  // Other headers, each with its continuation lines, up to the empty line.
  bool first_line = true;  // a continuation right after the core headers would change them
  std::string_view key;
  std::string mergetag;
  bool in_mergetag = false;
  auto finish_mergetag = [&]() {
    if (!in_mergetag) return true;
    in_mergetag = false;
    mergetag += '\n';
    return headers_split(mergetag);
  };
  for (;;) {
    if (!next_line(content, at, line)) return std::nullopt;
    at += line.size() + 1;
    if (line.empty()) break;
    if (line[0] == ' ') {
      if (first_line) return std::nullopt;
      if (in_mergetag) {
        mergetag += '\n';
        mergetag.append(line.substr(1));
      }
      continue;
    }
    if (!finish_mergetag()) return std::nullopt;
    first_line = false;
    const std::size_t space = line.find(' ');
    if (space == std::string_view::npos) return std::nullopt;
    key = line.substr(0, space);
    if (key == "tree" || key == "parent" || key == "author" || key == "committer") return std::nullopt;
    if (key == "mergetag") {
      in_mergetag = true;
      mergetag.assign(line.substr(space + 1));
    }
  }
  if (!finish_mergetag()) return std::nullopt;
  commit.message = content.substr(at);
  return commit;
}

bool parse_tree(std::string_view content, std::vector<TreeEntry>& entries) {
  entries.clear();
  std::size_t at = 0;
  while (at < content.size()) {
    TreeEntry entry;
    std::size_t digits = 0;
    while (at < content.size() && content[at] != ' ') {
      const char ch = content[at];
      if (ch < '0' || ch > '7' || ++digits > 7) return false;
      entry.mode = entry.mode * 8 + static_cast<std::uint32_t>(ch - '0');
      ++at;
    }
    if (digits == 0 || at >= content.size()) return false;
    ++at;
    const std::size_t nul = content.find('\0', at);
    if (nul == std::string_view::npos || nul == at) return false;
    entry.name = content.substr(at, nul - at);
    if (entry.name.find('/') != std::string_view::npos) return false;
    if (content.size() - (nul + 1) < kIdSize) return false;
    entry.id = ObjectId::from_raw(reinterpret_cast<const std::uint8_t*>(content.data()) + nul + 1);
    at = nul + 1 + kIdSize;
    entries.push_back(entry);
  }
  // dulwich keeps a single entry per name.
  if (entries.size() > 1) {
    thread_local std::vector<std::string_view> names;
    names.clear();
    for (const TreeEntry& entry : entries) names.push_back(entry.name);
    std::sort(names.begin(), names.end());
    if (std::adjacent_find(names.begin(), names.end()) != names.end()) return false;
  }
  return true;
}

bool plain_tag(std::string_view content) {
  if (!headers_split(content)) return false;
  std::size_t at = 0;
  std::string_view line;
  if (!next_line(content, at, line)) return false;
  const std::optional<std::string_view> object = value_after(line, "object ");
  if (!object || !is_hex_id(*object)) return false;
  at += line.size() + 1;
  if (!next_line(content, at, line)) return false;
  const std::optional<std::string_view> type = value_after(line, "type ");
  if (!type || (*type != "commit" && *type != "tree" && *type != "blob" && *type != "tag")) return false;
  at += line.size() + 1;
  if (!next_line(content, at, line) || !line.starts_with("tag ")) return false;
  at += line.size() + 1;
  bool tagger_seen = false;
  while (at < content.size()) {
    if (!next_line(content, at, line)) return false;
    at += line.size() + 1;
    if (line.empty()) return true;
    if (line[0] == ' ') return false;
    if (const std::optional<std::string_view> tagger = value_after(line, "tagger ")) {
      if (tagger_seen) return false;
      tagger_seen = true;
      std::string_view person;
      std::int64_t seconds = 0;
      if (!parse_person(*tagger, person, seconds)) return false;
    }
  }
  return true;
}

bool parses_like_dulwich(ObjectType type, std::string_view content) {
  switch (type) {
    case ObjectType::Blob:
      return true;
    case ObjectType::Tree: {
      thread_local std::vector<TreeEntry> entries;
      return parse_tree(content, entries);
    }
    case ObjectType::Commit:
      return parse_commit(content).has_value();
    case ObjectType::Tag:
      return plain_tag(content);
  }
  return false;
}

bool flatten_tree(ObjectStore& store, const ObjectId& tree, const TreeVisitor& visit) {
  struct Frame {
    Buffer content;
    std::vector<TreeEntry> entries;
    std::size_t next = 0;
    std::size_t path_length = 0;
  };
  // Frames are kept (and their buffers reused) as the walk goes up and down.
  std::vector<std::unique_ptr<Frame>> frames;
  std::size_t depth = 0;
  std::string path;
  auto push = [&](const ObjectId& id, std::size_t path_length) {
    if (frames.size() == depth) frames.push_back(std::make_unique<Frame>());
    Frame& frame = *frames[depth];
    ObjectType type;
    if (store.read(id, type, frame.content) != Read::Found || type != ObjectType::Tree) return false;
    if (!parse_tree(frame.content.view(), frame.entries)) return false;
    frame.next = 0;
    frame.path_length = path_length;
    ++depth;
    return true;
  };
  if (!push(tree, 0)) return false;
  while (depth != 0) {
    Frame& frame = *frames[depth - 1];
    if (frame.next == frame.entries.size()) {
      --depth;
      continue;
    }
    const TreeEntry& entry = frame.entries[frame.next++];
    path.resize(frame.path_length);
    if (!path.empty()) path += '/';
    path.append(entry.name);
    if (is_directory_mode(entry.mode)) {
      const ObjectId id = entry.id;
      if (!push(id, path.size())) return false;
    } else {
      visit(path, entry.mode, entry.id);
    }
  }
  return true;
}

}  // namespace store
