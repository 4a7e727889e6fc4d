#include "status/nested_head.h"

#include <string_view>

#include "platform/files.h"
#include "store/file_error.h"
#include "store/reftable.h"

namespace status {

namespace {

constexpr int kMostReads = 5;  // git follows a chain of five refs at most

std::string_view without_line_end(std::string_view text) {
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.remove_suffix(1);
  return text;
}

bool is_space(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f'; }

// A path named in a file of `directory` (`.git` or `commondir`): absolute,
// or relative to that directory.
std::string path_from(const std::string& directory, std::string_view named) {
  if (!named.empty() && named[0] == '/') return std::string(named);
  return directory + "/" + std::string(named);
}

// A ref name that git could have written, safe to join to a directory:
// under refs/, components neither empty nor hidden nor locks, none of the
// characters git refuses.
bool plain_ref_name(std::string_view name) {
  if (!name.starts_with("refs/") || name.ends_with('/') || name.ends_with('.') ||
      name.find("..") != std::string_view::npos || name.find("@{") != std::string_view::npos) {
    return false;
  }
  for (const char c : name) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte == 0x7f || std::string_view(" ~^:?*[\\").find(c) != std::string_view::npos) return false;
  }
  std::size_t start = 0;
  while (start < name.size()) {
    std::size_t end = name.find('/', start);
    if (end == std::string_view::npos) end = name.size();
    const std::string_view component = name.substr(start, end - start);
    if (component.empty() || component[0] == '.' || component.ends_with(".lock")) return false;
    start = end + 1;
  }
  return true;
}

// Refs that each worktree keeps for itself; every other ref is shared.
bool per_worktree(std::string_view name) {
  return name == "HEAD" || name.starts_with("refs/bisect/") || name.starts_with("refs/worktree/") ||
         name.starts_with("refs/rewritten/");
}

// The digits of the id `name` has in packed-refs: `<id> <name>` lines, the id
// `digits` long, after an optional `#` header, with `^` lines peeling the tag
// above them.
std::optional<std::string> packed_ref(const std::string& common_dir, std::string_view name, std::size_t digits) {
  platform::Buffer contents;
  if (platform::read_whole_file(common_dir + "/packed-refs", contents) != 0) return std::nullopt;
  std::string_view rest = contents.view();
  while (!rest.empty()) {
    const std::size_t end = rest.find('\n');
    const std::string_view line = rest.substr(0, end);
    rest = end == std::string_view::npos ? std::string_view() : rest.substr(end + 1);
    if (line.size() > digits + 1 && line[digits] == ' ' && line.substr(digits + 1) == name)
      return std::string(line.substr(0, digits));
  }
  return std::nullopt;
}

// Whether the repository whose common directory this is keeps its refs in
// reftables: its config's [extensions] section says `refStorage = reftable`
// (section and key in any case, the value as git compares it).
bool keeps_refs_in_reftables(const std::string& common_dir) {
  platform::Buffer contents;
  if (platform::read_whole_file(common_dir + "/config", contents) != 0) return false;
  const auto lower = [](std::string_view text) {
    std::string lowered(text);
    for (char& c : lowered) {
      if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    return lowered;
  };
  const auto trimmed = [](std::string_view text) {
    while (!text.empty() && is_space(text.front())) text.remove_prefix(1);
    while (!text.empty() && is_space(text.back())) text.remove_suffix(1);
    return text;
  };
  std::string_view rest = contents.view();
  bool in_extensions = false;
  bool reftable = false;
  while (!rest.empty()) {
    const std::size_t end = rest.find('\n');
    const std::string_view line = trimmed(rest.substr(0, end));
    rest = end == std::string_view::npos ? std::string_view() : rest.substr(end + 1);
    if (line.starts_with('[')) {
      in_extensions = lower(trimmed(line.substr(1, line.find(']') - 1))) == "extensions";
      continue;
    }
    const std::size_t equals = line.find('=');
    if (!in_extensions || equals == std::string_view::npos) continue;
    if (lower(trimmed(line.substr(0, equals))) == "refstorage")
      reftable = trimmed(line.substr(equals + 1)) == "reftable";
  }
  return reftable;
}

// The digits of the id HEAD resolves to in a repository that keeps its refs
// in reftables, as git reads them: HEAD and the other refs of a worktree
// from the tables of its own git directory, the rest from the common
// directory's; a deleted or missing ref is unborn.
std::optional<std::string> reftable_head_digits(const std::string& git_dir, const std::string& common_dir,
                                                std::size_t digits) {
  store::ReftableStack own;
  store::ReftableStack common;
  try {
    if (own.read(git_dir, store::ReftableReading::AsGit) != store::Outcome::Found) return std::nullopt;
    if (common_dir == git_dir) {
      common = own;
    } else if (common.read(common_dir, store::ReftableReading::AsGit) != store::Outcome::Found) {
      return std::nullopt;
    }
  } catch (const store::FileError&) {
    return std::nullopt;  // a table that is no file to read: no HEAD, as for any other unreadable ref
  }
  std::string name = "HEAD";
  for (int read = 0; read < kMostReads; ++read) {
    const store::ReftableStack& holder = per_worktree(name) ? own : common;
    const store::ReftableRef* ref = holder.find(name);
    if (ref == nullptr) return std::nullopt;
    if (ref->kind == store::ReftableKind::Symbolic) {
      if (!plain_ref_name(ref->value)) return std::nullopt;
      name = ref->value;
      continue;
    }
    if (2 * holder.id_size() != digits) return std::nullopt;
    return ref->value.substr(0, digits);  // a peeled record's first id
  }
  return std::nullopt;
}

// Where a repository's own files are: `.git` itself, or the directory its
// `gitdir: ` line names.
std::optional<std::string> git_dir_of(const std::string& directory) {
  const std::string dot_git = directory + "/.git";
  platform::FileInfo info;
  if (platform::file_info(dot_git, true, info) != 0) return std::nullopt;
  if (info.kind == platform::FileKind::Directory) return dot_git;
  platform::Buffer contents;
  if (info.kind != platform::FileKind::Regular || platform::read_whole_file(dot_git, contents) != 0) {
    return std::nullopt;
  }
  std::string_view text = without_line_end(contents.view());
  if (!text.starts_with("gitdir: ") || text.size() == 8) return std::nullopt;
  return path_from(directory, text.substr(8));
}

// The digits of the id HEAD resolves to, as written, for ids `digits` long.
std::optional<std::string> head_digits(const std::string& directory, std::size_t digits) {
  const std::optional<std::string> git_dir = git_dir_of(directory);
  if (!git_dir) return std::nullopt;
  // A linked worktree shares every ref but its own with the main repository.
  std::string common_dir = *git_dir;
  platform::Buffer contents;
  if (platform::read_whole_file(*git_dir + "/commondir", contents) == 0) {
    const std::string_view named = without_line_end(contents.view());
    if (named.empty()) return std::nullopt;
    common_dir = path_from(*git_dir, named);
  }
  if (keeps_refs_in_reftables(common_dir)) return reftable_head_digits(*git_dir, common_dir, digits);
  std::string name = "HEAD";
  for (int read = 0; read < kMostReads; ++read) {
    const std::string& holder = per_worktree(name) ? *git_dir : common_dir;
    const std::string path = holder + "/" + name;
    if (const int error = platform::read_whole_file(path, contents)) {
      // No loose file (or a directory of refs in its place): the packed one.
      platform::FileInfo info;
      const bool absent = platform::means_absent(error) ||
                          (platform::file_info(path, true, info) == 0 && info.kind == platform::FileKind::Directory);
      if (!absent || name == "HEAD") return std::nullopt;
      return packed_ref(common_dir, name, digits);
    }
    std::string_view text = contents.view();
    if (text.starts_with("ref:")) {
      text.remove_prefix(4);
      while (!text.empty() && is_space(text.front())) text.remove_prefix(1);
      while (!text.empty() && is_space(text.back())) text.remove_suffix(1);
      if (!plain_ref_name(text)) return std::nullopt;
      name.assign(text);
      continue;
    }
    // An id, then the end or white space.
    if (text.size() < digits || (text.size() > digits && !is_space(text[digits]))) return std::nullopt;
    return std::string(text.substr(0, digits));
  }
  return std::nullopt;
}

}  // namespace

std::optional<store::ObjectId> nested_head(const std::string& directory, store::HashFormat format) {
  const std::optional<std::string> digits = head_digits(directory, store::hex_size(format));
  if (!digits) return std::nullopt;
  return store::ObjectId::from_hex(*digits, format);
}

std::optional<std::string> nested_long_head(const std::string& directory) {
  std::optional<std::string> digits = head_digits(directory, kLongIdDigits);
  if (!digits) return std::nullopt;
  for (char& digit : *digits) {
    if (digit >= 'A' && digit <= 'F') digit = static_cast<char>(digit - 'A' + 'a');
    if ((digit < '0' || digit > '9') && (digit < 'a' || digit > 'f')) return std::nullopt;
  }
  return digits;
}

}  // namespace status
