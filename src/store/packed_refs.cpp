#include "store/packed_refs.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "store/object_id.h"

namespace store {

namespace {

// The id's digits, 40 or 64 of them (dulwich takes either in a repository
// of either format), at `at` and followed by `end`; 0 for neither.
std::size_t id_digits_at(std::string_view text, std::size_t at, char end) {
  for (const HashFormat format : {HashFormat::Sha1, HashFormat::Sha256}) {
    const std::size_t digits = hex_size(format);
    if (text.size() - at > digits && text[at + digits] == end && is_hex_id(text.substr(at, digits), format)) {
      return digits;
    }
  }
  return 0;
}

// What a byte of a ref name is to check_ref_format: most are plain; some are
// refused anywhere (controls, DEL, space, "~^:?*[" and the backslash); ".",
// "/" and "{" are plain or not by what stands around them. A table, for
// names by the ten thousand.
enum NameByte : std::uint8_t { kPlain, kRefused, kDot, kSlash, kBrace };

constexpr std::array<std::uint8_t, 256> kNameBytes = [] {
  std::array<std::uint8_t, 256> table{};
  for (int ch = 0; ch < 0x20; ++ch) table[ch] = kRefused;
  for (const unsigned char ch : std::string_view("\x7f ~^:?*[\\")) table[ch] = kRefused;
  table['.'] = kDot;
  table['/'] = kSlash;
  table['{'] = kBrace;
  return table;
}();

bool ends_with_lock(std::string_view component) { return component.ends_with(".lock"); }

// bytes.rstrip(): without the ASCII whitespace at its end.
std::string_view without_trailing_space(std::string_view text) {
  while (!text.empty() && (text.back() == ' ' || (text.back() >= '\t' && text.back() <= '\r'))) text.remove_suffix(1);
  return text;
}

}  // namespace

bool valid_ref_name(std::string_view name) {
  // dulwich's rules, one by one: not "@"; a "/" somewhere; no ".."; no
  // refused byte; not ending in "/" or "."; no "@{"; no backslash; no empty
  // component, none beginning with "." or ending in ".lock".
  if (name.empty() || name == "@") return false;
  bool slash = false;
  std::size_t component = 0;  // where the current component begins
  for (std::size_t i = 0; i < name.size(); ++i) {
    switch (kNameBytes[static_cast<unsigned char>(name[i])]) {
      case kPlain:
        break;
      case kRefused:
        return false;
      case kDot:
        if (i == component || name[i - 1] == '.') return false;
        break;
      case kBrace:
        if (i != 0 && name[i - 1] == '@') return false;
        break;
      case kSlash:
        if (i == component || ends_with_lock(name.substr(component, i - component))) return false;
        slash = true;
        component = i + 1;
        break;
    }
  }
  if (!slash || component == name.size() || name.back() == '.') return false;
  return !ends_with_lock(name.substr(component));
}

bool read_packed_ref_line(std::string_view text, bool peeled, std::size_t at, PackedRefLine& line) {
  // "<hex id> <name>\n", then "^<hex id>\n" for a peeled id.
  if (at > text.size()) return false;
  const std::size_t digits = id_digits_at(text, at, ' ');
  if (digits == 0) return false;
  const std::string_view hex = text.substr(at, digits);
  const std::size_t name_at = at + digits + 1;
  const std::size_t end = text.find('\n', name_at);
  if (end == std::string_view::npos) return false;
  const std::string_view name = text.substr(name_at, end - name_at);
  if (!valid_ref_name(name)) return false;
  std::size_t next = end + 1;
  if (peeled && next < text.size() && text[next] == '^') {
    const std::size_t peeled_digits = id_digits_at(text, next + 1, '\n');
    if (peeled_digits == 0) return false;
    next += 1 + peeled_digits + 1;
  }
  line = PackedRefLine{at, next, hex, name};
  return true;
}

namespace {

// The number of the line that begins at `at`, counted from 1.
std::uint32_t line_number(std::string_view text, std::size_t at) {
  const auto lines = std::count(text.begin(), text.begin() + static_cast<std::ptrdiff_t>(at), '\n') + 1;
  return lines > UINT32_MAX ? UINT32_MAX : static_cast<std::uint32_t>(lines);
}

}  // namespace

PackedRefsShape check_packed_refs(std::string_view text) {
  PackedRefsShape shape;
  if (text.empty()) return shape;
  std::size_t at = 0;
  if (text.front() == '#') {
    // dulwich reads the first line as the header; a "#" line is a comment
    // to it either way.
    const std::size_t end = text.find('\n');
    if (end == std::string_view::npos) {
      shape.malformed_line = 1;
      return shape;
    }
    const std::string_view header = without_trailing_space(text.substr(0, end));
    shape.peeled = header.starts_with("# pack-refs") && header.find(" peeled") != std::string_view::npos;
    at = end + 1;
  }
  shape.first_ref = at;
  bool ascending = true;
  std::string_view previous;
  for (PackedRefLine line; at < text.size(); at = line.next) {
    if (!read_packed_ref_line(text, shape.peeled, at, line)) {
      shape.malformed_line = line_number(text, at);
      return shape;
    }
    if (at != shape.first_ref && !(previous < line.name)) ascending = false;
    previous = line.name;
  }
  shape.plain = true;
  shape.ascending = ascending;
  return shape;
}

bool PackedRefs::record_at(std::size_t lowest, std::size_t highest, std::size_t position, PackedRefLine& line) const {
  // Back to the beginning of the line that holds `position`; a peeled line
  // belongs to the ref line before it.
  auto line_start = [&](std::size_t at) {
    while (at > lowest && text_[at - 1] != '\n') --at;
    return at;
  };
  std::size_t start = line_start(position);
  if (text_[start] == '^') {
    if (start == lowest) return false;
    start = line_start(start - 1);
  }
  return read_line(start, line) && line.next > position && line.next <= highest;
}

Outcome PackedRefs::lower_bound(std::string_view name, std::size_t& at) const {
  // [low, high) always begins and ends at a ref line (or the end).
  std::size_t low = shape_.first_ref;
  std::size_t high = text_.size();
  if (low > high) return Outcome::declined("packed-refs: first ref past the end");
  while (low < high) {
    PackedRefLine line;
    if (!record_at(low, high, low + (high - low) / 2, line))
      return Outcome::declined("packed-refs: a line not in the plain form");
    if (line.name < name) {
      low = line.next;
    } else {
      high = line.start;
    }
  }
  at = low;
  return Outcome::Found;
}

Outcome PackedRefs::find(std::string_view name, std::string_view& hex) const {
  if (!shape_.ascending) {
    // Read from end to end; the last line of a name is the one dulwich keeps.
    bool found = false;
    PackedRefLine line;
    for (std::size_t at = shape_.first_ref; at < text_.size(); at = line.next) {
      if (!read_line(at, line)) return Outcome::declined("packed-refs: a line not in the plain form");
      if (line.name == name) {
        hex = line.hex;
        found = true;
      }
    }
    if (found) return Outcome::Found;
    return Outcome::Missing;
  }
  std::size_t at = 0;
  if (const Outcome bound = lower_bound(name, at); bound == Outcome::Declined) return bound;
  if (at >= text_.size()) return Outcome::Missing;
  PackedRefLine line;
  if (!read_line(at, line)) return Outcome::declined("packed-refs: a line not in the plain form");
  if (line.name != name) return Outcome::Missing;
  hex = line.hex;
  return Outcome::Found;
}

Outcome PackedRefs::for_each(std::string_view prefix, const EachRef& each) const {
  if (!shape_.ascending) return for_each_unordered(prefix, each);
  std::size_t at = 0;
  if (const Outcome bound = lower_bound(prefix, at); bound == Outcome::Declined) return bound;
  std::string_view previous;
  PackedRefLine line;
  for (; at < text_.size(); at = line.next) {
    if (!read_line(at, line)) return Outcome::declined("packed-refs: a line not in the plain form");
    if (!line.name.starts_with(prefix)) break;
    if (!previous.empty() && !(previous < line.name)) return Outcome::declined("packed-refs: names out of order");
    previous = line.name;
    each(line.name, line.hex);
  }
  return Outcome::Found;
}

Outcome PackedRefs::for_each_unordered(std::string_view prefix, const EachRef& each) const {
  std::vector<PackedRefLine> lines;
  PackedRefLine line;
  for (std::size_t at = shape_.first_ref; at < text_.size(); at = line.next) {
    if (!read_line(at, line)) return Outcome::declined("packed-refs: a line not in the plain form");
    if (line.name.starts_with(prefix)) lines.push_back(line);
  }
  std::stable_sort(lines.begin(), lines.end(),
                   [](const PackedRefLine& a, const PackedRefLine& b) { return a.name < b.name; });
  for (std::size_t i = 0; i < lines.size(); ++i) {
    if (i + 1 < lines.size() && lines[i + 1].name == lines[i].name) continue;  // a later line of the name wins
    each(lines[i].name, lines[i].hex);
  }
  return Outcome::Found;
}

}  // namespace store
