#include "store/objects.h"

#include <algorithm>
#include <array>
#include <cstring>
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

// --- commits as dulwich's `_parse_commit` reads them ---

// What dulwich raises: nothing, an ObjectFormatException, or another error
// (ValueError from splitting a header, IndexError from an empty time zone,
// OverflowError from a huge one). A mergetag that fails to parse as a tag is
// kept as an extra header on ObjectFormatException, and raises on the rest.
enum class Fault : std::uint8_t { None, Format, Other };

// Digit runs up to this long read the same whatever the host's limit on
// int() is set to; longer ones read with its default limit.
constexpr std::size_t kSureDigits = 640;
constexpr std::size_t kDefaultDigitLimit = 4300;

// One header as dulwich's `_parse_message` hands it out. `raw` is the value
// as it stands: from after the key's space to the end of the header's last
// line, that line's newline included, continuation lines with their leading
// space. dulwich's value is `raw` unfolded, less one final newline.
struct Header {
  std::string_view key;
  std::string_view raw;
  bool folded = false;  // continuation lines follow the first
};

// dulwich's `_parse_message`, step by step as its generator runs: a header
// is handed out once the line after it is read, and that line is split
// (which raises without a space) only on the step after. Lines that start
// with a space before the first header continue nothing and are dropped.
class HeaderReader {
 public:
  enum class Step : std::uint8_t { Header, End, Unsplit };

  // Reads `text` from `at`, the start of a line that continues nothing.
  explicit HeaderReader(std::string_view text, std::size_t at = 0) : text_(text), at_(at) {}

  Step next(Header& header) {
    while (!ended_ && at_ < text_.size()) {
      const std::size_t newline = text_.find('\n', at_);
      const std::size_t end = newline == std::string_view::npos ? text_.size() : newline + 1;
      if (text_[at_] == ' ') {
        if (open_) {
          current_.folded = true;
          current_.raw = text_.substr(value_start_, end - value_start_);
        }
        at_ = end;
        continue;
      }
      if (open_) {
        open_ = false;
        header = current_;
        return Step::Header;
      }
      const std::string_view line = text_.substr(at_, end - at_);
      if (line == "\n") {
        ended_ = true;
        message_ = text_.substr(end);
        return Step::End;
      }
      const std::size_t space = line.find(' ');
      if (space == std::string_view::npos) {
        ended_ = unsplit_ = true;
        return Step::Unsplit;
      }
      open_ = true;
      current_.key = line.substr(0, space);
      value_start_ = at_ + space + 1;
      current_.raw = text_.substr(value_start_, end - value_start_);
      current_.folded = false;
      at_ = end;
    }
    if (open_) {  // the text ended inside the headers
      open_ = false;
      header = current_;
      return Step::Header;
    }
    return unsplit_ ? Step::Unsplit : Step::End;
  }

  // Once the headers ended: what follows the empty line that ends them, or
  // nullopt when they ran to the end of the text.
  const std::optional<std::string_view>& message() const { return message_; }

 private:
  std::string_view text_;
  std::size_t at_ = 0;
  bool open_ = false;  // current_ is being read
  bool ended_ = false;
  bool unsplit_ = false;
  Header current_;
  std::size_t value_start_ = 0;
  std::optional<std::string_view> message_;
};

// Whether a header's key is `word` (compared at a size known when compiling).
template <std::size_t N>
bool key_is(std::string_view key, const char (&word)[N]) {
  return key.size() == N - 1 && std::memcmp(key.data(), word, N - 1) == 0;
}

std::string_view without_final_newline(std::string_view text) {
  return text.ends_with('\n') ? text.substr(0, text.size() - 1) : text;
}

// dulwich's value of a header; `scratch` holds it when it spans lines.
std::string_view header_value(const Header& header, std::string& scratch) {
  if (!header.folded) return without_final_newline(header.raw);
  scratch = unfolded(header.raw);
  return without_final_newline(scratch);
}

// How many bytes of a header's raw text make the first `length` bytes of
// its value.
std::size_t raw_length(std::string_view raw, std::size_t length) {
  std::size_t at = 0;
  for (std::size_t taken = 0; taken < length; ++taken) {
    if (at > 0 && raw[at - 1] == '\n') ++at;  // the space that starts a continuation line
    ++at;
  }
  return at;
}

// How dulwich's `check_hexsha` takes an id's text: it raises (Invalid), or
// takes it, as the format's lowercase digits the store holds (Held) or as
// other digits (Unheld: uppercase, or the other format's length).
enum class IdText : std::uint8_t { Invalid, Held, Unheld };

constexpr std::uint8_t kHexDigit = 1;
constexpr std::uint8_t kLowerHexDigit = 2;
constexpr std::array<std::uint8_t, 256> kHexDigits = [] {
  std::array<std::uint8_t, 256> table{};
  for (const unsigned char ch : std::string_view("0123456789abcdef")) table[ch] = kHexDigit | kLowerHexDigit;
  for (const unsigned char ch : std::string_view("ABCDEF")) table[ch] = kHexDigit;
  return table;
}();

IdText read_id(std::string_view text, HashFormat format) {
  if (!format_of_hex_size(text.size())) return IdText::Invalid;
  std::uint8_t all = kHexDigit | kLowerHexDigit;
  for (const char ch : text) all &= kHexDigits[static_cast<unsigned char>(ch)];
  if ((all & kHexDigit) == 0) return IdText::Invalid;
  return (all & kLowerHexDigit) != 0 && text.size() == hex_size(format) ? IdText::Held : IdText::Unheld;
}

// Python's int() of bytes: ASCII whitespace around, one optional sign, then
// decimal digits with single underscores between them.
struct PythonInt {
  bool negative = false;
  std::size_t digits = 0;  // what the host's limit counts: every digit, leading zeros too
  std::string_view body;   // the digits and underscores
};

bool read_python_int(std::string_view text, PythonInt& number) {
  const auto space = [](char ch) { return ch == ' ' || (ch >= '\t' && ch <= '\r'); };
  std::size_t begin = 0;
  std::size_t end = text.size();
  while (begin < end && space(text[begin])) ++begin;
  while (end > begin && space(text[end - 1])) --end;
  number.negative = begin < end && text[begin] == '-';
  if (begin < end && (text[begin] == '+' || text[begin] == '-')) ++begin;
  number.body = text.substr(begin, end - begin);
  number.digits = 0;
  bool after_digit = false;
  for (const char ch : number.body) {
    if (ch >= '0' && ch <= '9') {
      ++number.digits;
      after_digit = true;
    } else if (ch == '_' && after_digit) {
      after_digit = false;
    } else {
      return false;
    }
  }
  return after_digit;
}

// The number, when it fits in 64 bits.
std::optional<std::int64_t> to_int64(const PythonInt& number) {
  constexpr std::size_t kMostDigits = 19;  // any 19 digits fit in 64 unsigned bits
  std::uint64_t magnitude = 0;
  std::size_t significant = 0;
  for (const char ch : number.body) {
    if (ch == '_' || (ch == '0' && significant == 0)) continue;
    if (++significant > kMostDigits) return std::nullopt;
    magnitude = magnitude * 10 + static_cast<std::uint64_t>(ch - '0');
  }
  constexpr std::uint64_t kLeast = std::uint64_t{1} << 63;  // the magnitude of the least int64
  if (number.negative) {
    if (magnitude > kLeast) return std::nullopt;
    return static_cast<std::int64_t>(0 - magnitude);
  }
  if (magnitude >= kLeast) return std::nullopt;
  return static_cast<std::int64_t>(magnitude);
}

// Whether the number's magnitude is at least `decimal` (digits without
// leading zeros).
bool at_least(const PythonInt& number, std::string_view decimal) {
  if (number.digits < decimal.size()) return false;
  std::string digits;
  for (const char ch : number.body) {
    if (ch != '_' && (ch != '0' || !digits.empty())) digits += ch;
  }
  if (digits.size() != decimal.size()) return digits.size() > decimal.size();
  return digits >= decimal;
}

// `int(text)` as far as raising goes: Format (ValueError) for text that is
// no number or holds more digits than the default limit allows.
Fault read_number(std::string_view text, PythonInt& number, bool& host_dependent) {
  if (!read_python_int(text, number) || number.digits > kDefaultDigitLimit) return Fault::Format;
  if (number.digits > kSureDigits) host_dependent = true;
  return Fault::None;
}

// The smallest offset for which parse_timezone's `offset / 100` is too large
// for a float (OverflowError): 100 * (2**1024 - 2**970).
constexpr std::string_view kOverflowingOffset =
    "179769313486231580793728971405303415079934132710037826936173778980444968292764750946649017977587207096330286416692"
    "887910946555547851940402630657488671505820681908902000708383676273854845817711531764475730270069855571366959622842"
    "91481986083493647529271907416844436551070434271155969950809304288017790417449779200";

// dulwich's `parse_timezone`.
Fault parse_timezone(std::string_view text, bool& host_dependent) {
  if (text.empty()) return Fault::Other;  // text[0] raises IndexError
  if (text[0] != '+' && text[0] != '-') return Fault::Format;
  PythonInt offset;
  if (const Fault fault = read_number(text.substr(1), offset, host_dependent); fault != Fault::None) return fault;
  if (at_least(offset, kOverflowingOffset)) return Fault::Other;
  return Fault::None;
}

// What dulwich's `parse_time_entry` gives for a person's value.
struct TimeEntry {
  std::size_t person_length = 0;  // the person: this much of the value
  bool timed = false;             // a time was read ("> " in the value)
  std::optional<std::int64_t> time;
};

Fault parse_time_entry(std::string_view value, TimeEntry& entry, bool& host_dependent) {
  std::size_t separator = value.size() < 2 ? std::string_view::npos : value.size() - 2;
  while (separator != std::string_view::npos && (value[separator] != '>' || value[separator + 1] != ' ')) --separator;
  if (separator == std::string_view::npos) {
    entry.person_length = value.size();
    return Fault::None;
  }
  entry.person_length = separator + 1;
  const std::string_view rest = value.substr(separator + 2);
  const std::size_t space = rest.rfind(' ');
  if (space == std::string_view::npos) return Fault::Format;
  PythonInt time;
  if (const Fault fault = read_number(rest.substr(0, space), time, host_dependent); fault != Fault::None) return fault;
  if (const Fault fault = parse_timezone(rest.substr(space + 1), host_dependent); fault != Fault::None) return fault;
  entry.timed = true;
  entry.time = to_int64(time);
  return Fault::None;
}

// What dulwich raises reading `text` as a tag (`Tag.from_string`): the
// object, type and tag headers first, then the first tagger's time entry.
Fault tag_fault(std::string_view text, bool& host_dependent) {
  HeaderReader headers(text);
  Header header;
  std::string scratch;
  std::string_view value;
  auto required = [&](std::string_view key) {
    const HeaderReader::Step step = headers.next(header);
    if (step == HeaderReader::Step::Unsplit) return Fault::Other;
    if (step == HeaderReader::Step::End || header.key != key) return Fault::Format;
    value = header_value(header, scratch);
    return Fault::None;
  };
  if (const Fault fault = required("object"); fault != Fault::None) return fault;
  // An id of either format's length is valid here.
  if (read_id(value, HashFormat::Sha1) == IdText::Invalid) return Fault::Format;
  if (const Fault fault = required("type"); fault != Fault::None) return fault;
  if (value != "commit" && value != "tree" && value != "blob" && value != "tag") return Fault::Format;
  if (const Fault fault = required("tag"); fault != Fault::None) return fault;
  bool tagger_seen = false;
  for (;;) {
    const HeaderReader::Step step = headers.next(header);
    if (step == HeaderReader::Step::Unsplit) return Fault::Other;
    if (step == HeaderReader::Step::End) return Fault::None;
    if (key_is(header.key, "tagger") && !tagger_seen) {
      tagger_seen = true;
      TimeEntry entry;
      const Fault fault = parse_time_entry(header_value(header, scratch), entry, host_dependent);
      if (fault != Fault::None) return fault;
    }
  }
}

// How dulwich reads a commit: parsed, with fields the store holds (Held) or
// cannot hold exactly (Unheld), or raising.
enum class Reading : std::uint8_t { Held, Unheld, Raises };

// A person's header (author, committer) as dulwich reads it; sets `person`
// to the view whose unfolding is the person.
Fault read_person(const Header& header, std::string_view& person, TimeEntry& entry, bool& host_dependent) {
  std::string scratch;
  const Fault fault = parse_time_entry(header_value(header, scratch), entry, host_dependent);
  const std::size_t length = header.folded ? raw_length(header.raw, entry.person_length) : entry.person_length;
  person = header.raw.substr(0, length);
  return fault;
}

// The usual start of a commit, read the quick way: a tree line, parent
// lines, then the author and committer lines, ids in lowercase hex, each
// person as `<person> <digits> <+|-><digits>`, no line continued on the
// next. Sets the commit's tree, parents, author and time; the position after
// those lines, or 0 when the commit does not start so.
std::size_t read_usual_start(std::string_view content, Commit& commit) {
  std::size_t at = 0;
  std::string_view value;
  auto take = [&](std::string_view label) {
    std::string_view line;
    if (!next_line(content, at, line) || !line.starts_with(label)) return false;
    const std::size_t end = at + line.size() + 1;
    if (end < content.size() && content[end] == ' ') return false;
    value = line.substr(label.size());
    at = end;
    return true;
  };
  if (!take("tree ") || !is_hex_id(value, commit.format)) return 0;
  commit.tree_hex = value;
  const std::size_t parents_start = at;
  while (take("parent ")) {
    if (!is_hex_id(value, commit.format)) return 0;
  }
  commit.parent_lines = content.substr(parents_start, at == parents_start ? 0 : at - parents_start - 1);
  std::string_view person;
  std::int64_t seconds = 0;
  if (!take("author ") || !parse_person(value, person, seconds)) return 0;
  commit.author = person;
  if (!take("committer ") || !parse_person(value, person, seconds)) return 0;
  commit.commit_time = seconds;
  return at;
}

// dulwich's `_parse_commit`: the first tree, author and committer count,
// and the parents are the run of parent lines right after the first tree.
Reading read_commit(std::string_view content, Commit& commit) {
  const std::size_t parent_line = Commit::parent_line_size(commit.format);
  // Past the usual start, only the other headers and the message are left.
  const std::size_t usual = read_usual_start(content, commit);
  const bool started = usual != 0;
  HeaderReader headers(content, usual);
  Header header;
  std::string scratch;
  bool held = true;
  bool host_dependent = false;
  bool tree_seen = started;
  bool in_parents = false;
  const char* parents_start = nullptr;
  std::size_t parents = 0;
  std::optional<Header> author;
  std::optional<Header> committer;
  for (;;) {
    const HeaderReader::Step step = headers.next(header);
    if (step == HeaderReader::Step::Unsplit) return Reading::Raises;
    if (step == HeaderReader::Step::End) break;
    const std::string_view key = header.key;
    if (!tree_seen && !key_is(key, "tree")) return Reading::Raises;
    if (!key_is(key, "parent")) in_parents = !tree_seen;
    if (key_is(key, "tree")) {
      if (tree_seen) continue;
      tree_seen = true;
      const std::string_view id = header_value(header, scratch);
      const IdText read = read_id(id, commit.format);
      if (read == IdText::Invalid) return Reading::Raises;
      held = held && read == IdText::Held;
      commit.tree_hex = id;
    } else if (key_is(key, "parent")) {
      if (!in_parents) continue;
      const IdText read = read_id(header_value(header, scratch), commit.format);
      if (read == IdText::Invalid) return Reading::Raises;
      // A held parent is a whole line "parent <id>\n" (a continuation would
      // have put a newline into the id), each right after the one before.
      if (parents == 0) parents_start = key.data();
      held = held && read == IdText::Held && key.data() == parents_start + parent_line * parents;
      ++parents;
    } else if (key_is(key, "author")) {
      if (!author && !started) author = header;
    } else if (key_is(key, "committer")) {
      if (!committer && !started) committer = header;
    } else if (key_is(key, "mergetag")) {
      std::string tag = header.folded ? unfolded(header.raw) : std::string(header.raw);
      if (!tag.ends_with('\n')) tag += '\n';
      if (tag_fault(tag, host_dependent) == Fault::Other) return Reading::Raises;
    }
  }
  // The message comes as a header without a name, which must not come first.
  if (!tree_seen) return Reading::Raises;
  commit.message = headers.message();
  if (started) return held && !host_dependent ? Reading::Held : Reading::Unheld;
  commit.parent_lines = {};
  if (held && parents != 0) commit.parent_lines = std::string_view(parents_start, parent_line * parents - 1);
  commit.author.reset();
  if (author) {
    std::string_view person;
    TimeEntry entry;
    if (read_person(*author, person, entry, host_dependent) != Fault::None) return Reading::Raises;
    commit.author = person;
  }
  commit.commit_time.reset();
  commit.commit_time_overflows = false;
  if (committer) {
    std::string_view person;
    TimeEntry entry;
    if (read_person(*committer, person, entry, host_dependent) != Fault::None) return Reading::Raises;
    commit.commit_time = entry.time;
    commit.commit_time_overflows = entry.timed && !entry.time;
  }
  return held && !host_dependent ? Reading::Held : Reading::Unheld;
}

}  // namespace

std::optional<Commit> parse_commit(std::string_view content, HashFormat format) {
  Commit commit;
  commit.format = format;
  if (read_commit(content, commit) != Reading::Held) return std::nullopt;
  return commit;
}

std::string unfolded(std::string_view raw) {
  std::string text;
  text.reserve(raw.size());
  std::size_t at = 0;
  while (at < raw.size()) {
    const std::size_t newline = raw.find('\n', at);
    if (newline == std::string_view::npos || newline + 1 == raw.size()) {
      text.append(raw.substr(at));
      break;
    }
    text.append(raw.substr(at, newline + 1 - at));
    at = newline + 2;  // past the space that starts the next line
  }
  return text;
}

bool parse_tree(std::string_view content, HashFormat format, std::vector<TreeEntry>& entries) {
  entries.clear();
  const std::size_t id_bytes = id_size(format);
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
    if (content.size() - (nul + 1) < id_bytes) return false;
    entry.id = ObjectId::from_raw(reinterpret_cast<const std::uint8_t*>(content.data()) + nul + 1, format);
    at = nul + 1 + id_bytes;
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

bool plain_tag(std::string_view content, HashFormat format) {
  if (!headers_split(content)) return false;
  std::size_t at = 0;
  std::string_view line;
  if (!next_line(content, at, line)) return false;
  const std::optional<std::string_view> object = value_after(line, "object ");
  if (!object || !is_hex_id(*object, format)) return false;
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

bool parses_like_dulwich(ObjectType type, std::string_view content, HashFormat format) {
  switch (type) {
    case ObjectType::Blob:
      return true;
    case ObjectType::Tree: {
      thread_local std::vector<TreeEntry> entries;
      return parse_tree(content, format, entries);
    }
    case ObjectType::Commit: {
      Commit commit;
      commit.format = format;
      return read_commit(content, commit) != Reading::Raises;
    }
    case ObjectType::Tag:
      return plain_tag(content, format);
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
    if (store.read(id, type, frame.content) != Outcome::Found || type != ObjectType::Tree) return false;
    if (!parse_tree(frame.content.view(), store.format(), frame.entries)) return false;
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
