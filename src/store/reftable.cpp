#include "store/reftable.h"

#include <zlib.h>

#include <algorithm>
#include <cerrno>
#include <limits>
#include <list>
#include <memory>
#include <mutex>

#include "platform/buffer.h"
#include "platform/files.h"
#include "store/file_error.h"
#include "store/mapped_file.h"

namespace store {

namespace {

constexpr std::string_view kMagic = "REFT";
constexpr std::size_t kHeaderV1 = 24;
constexpr std::size_t kHeaderV2 = 28;
constexpr std::size_t kFooterV1 = 68;
constexpr std::size_t kFooterV2 = 72;
constexpr std::uint32_t kSha1Format = 0x73686131;    // "sha1"
constexpr std::uint32_t kSha256Format = 0x73323536;  // "s256"
constexpr std::size_t kSha1Size = 20;
constexpr std::size_t kSha256Size = 32;
constexpr std::size_t kDefaultBlockSize = 4096;  // what git guesses for a table that names none
constexpr char kRefBlock = 'r';
constexpr std::size_t kBlockHeader = 4;  // type and 24-bit length
constexpr std::size_t kRestartSize = 3;
constexpr std::size_t kRestartCountSize = 2;

// The largest table read: a table this large would hold millions of refs;
// a larger file (a sparse one, say) is not read whole, nor handed to
// dulwich, which would walk it four bytes at a time.
constexpr std::uint64_t kLargestTable = std::uint64_t{1} << 30;

// How often git looks at tables.list again when a table it names is gone
// (another git compacted the stack meanwhile).
constexpr int kListReads = 3;

// dulwich's limits (reftable.py): MAX_REASONABLE_SUFFIX_LEN, MIN_RECORD_SIZE,
// MAX_REASONABLE_BLOCK_SIZE, and the bytes it takes for the first restart
// point (its EMBEDDED_FOOTER_MARKER after two zero bytes).
constexpr std::uint64_t kDulwichSuffixGuess = 100;
constexpr std::size_t kDulwichLeastRecord = 3;
constexpr std::uint64_t kDulwichLargestBlock = 1000000;
constexpr std::string_view kDulwichMarker("\0\0\x1c", 3);
constexpr std::size_t kDulwichFooterGuess = 50;
constexpr std::size_t kDulwichIdSize = 20;
// Numbers this large never come from git's records; a replay meeting one
// does not follow dulwich's arbitrary-precision reading further.
constexpr std::uint64_t kReplayLargest = std::uint64_t{1} << 60;

std::uint64_t big_endian(std::string_view bytes, std::size_t at, std::size_t count) {
  std::uint64_t value = 0;
  for (std::size_t i = 0; i < count; ++i) value = (value << 8) | static_cast<unsigned char>(bytes[at + i]);
  return value;
}

std::string hex_of(std::string_view raw) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string hex(raw.size() * 2, '0');
  for (std::size_t i = 0; i < raw.size(); ++i) {
    const auto byte = static_cast<unsigned char>(raw[i]);
    hex[2 * i] = kDigits[byte >> 4];
    hex[2 * i + 1] = kDigits[byte & 0xf];
  }
  return hex;
}

// Reads forward through bytes[at, end), never past end.
class Cursor {
 public:
  Cursor(std::string_view bytes, std::size_t at, std::size_t end) : bytes_(bytes), at_(at), end_(end) {}

  std::size_t at() const { return at_; }
  std::size_t left() const { return end_ - at_; }

  bool take(std::uint64_t count, std::string_view& out) {
    if (count > left()) return false;
    out = bytes_.substr(at_, static_cast<std::size_t>(count));
    at_ += static_cast<std::size_t>(count);
    return true;
  }

  // git's varint (reftable/record.c: get_var_int): seven bits a byte, most
  // significant group first, each continuation adding one. False at the end
  // of the bytes or when the value does not fit 64 bits.
  bool varint(std::uint64_t& out) {
    if (at_ >= end_) return false;
    auto byte = static_cast<unsigned char>(bytes_[at_++]);
    std::uint64_t value = byte & 0x7f;
    while ((byte & 0x80) != 0) {
      if (at_ >= end_ || value >= (std::numeric_limits<std::uint64_t>::max() >> 7)) return false;
      byte = static_cast<unsigned char>(bytes_[at_++]);
      value = ((value + 1) << 7) | (byte & 0x7f);
    }
    out = value;
    return true;
  }

 private:
  std::string_view bytes_;
  std::size_t at_;
  std::size_t end_;
};

// One ref record of a block, decoded as git decodes it (reftable_decode_key,
// reftable_ref_record_decode). `name` holds the previous name on entry.
// Found, or Declined where git would not have written the record.
Outcome read_record(Cursor& cursor, const Reftable& table, std::string& name, bool& whole_name, ReftableRef& ref) {
  constexpr Outcome bad_varint = Outcome::declined("reftable: a varint past its block or 64 bits");
  constexpr Outcome past_block = Outcome::declined("reftable: a ref record's field past its block");
  std::uint64_t prefix = 0;
  std::uint64_t suffix_and_type = 0;
  std::string_view suffix;
  if (!cursor.varint(prefix) || !cursor.varint(suffix_and_type)) return bad_varint;
  if (prefix > name.size()) return Outcome::declined("reftable: a name's prefix longer than the name before");
  if (!cursor.take(suffix_and_type >> 3, suffix)) return past_block;
  name.resize(static_cast<std::size_t>(prefix));
  name.append(suffix);
  whole_name = prefix == 0;
  // git keeps names as C strings: one with a NUL is not the name it wrote.
  if (name.empty() || name.find('\0') != std::string::npos) {
    return Outcome::declined("reftable: an empty name or a NUL in one");
  }
  std::uint64_t update_delta = 0;
  if (!cursor.varint(update_delta)) return bad_varint;
  if (update_delta > table.max_update_index - table.min_update_index) {
    return Outcome::declined("reftable: a record's update index past the table's");
  }
  ref.name = name;
  ref.update_index = table.min_update_index + update_delta;
  std::string_view value;
  switch (suffix_and_type & 7) {
    case 0:
      ref.kind = ReftableKind::Deletion;
      ref.value.clear();
      return Outcome::Found;
    case 1:
      ref.kind = ReftableKind::Id;
      if (!cursor.take(table.id_size, value)) return past_block;
      ref.value = hex_of(value);
      return Outcome::Found;
    case 2:
      ref.kind = ReftableKind::Peeled;
      if (!cursor.take(2 * table.id_size, value)) return past_block;
      ref.value = hex_of(value);
      return Outcome::Found;
    case 3: {
      ref.kind = ReftableKind::Symbolic;
      std::uint64_t length = 0;
      if (!cursor.varint(length)) return bad_varint;
      if (!cursor.take(length, value)) return past_block;
      if (value.find('\0') != std::string_view::npos) {
        return Outcome::declined("reftable: a NUL in a symbolic ref's target");
      }
      ref.value = std::string(value);
      return Outcome::Found;
    }
    default:
      return Outcome::declined("reftable: a value type git does not write");
  }
}

// The ref block at `offset` (git's block_reader_init, read strictly): its
// records appended to table.refs, `next` set to where the next block
// begins. `limit` is where the footer begins. Found, or Declined where git
// would not have written the block.
Outcome read_ref_block(std::string_view bytes, std::size_t offset, std::size_t header_size, std::size_t limit,
                       std::uint32_t block_size, Reftable& table, std::size_t& next) {
  const std::size_t header_off = offset == 0 ? header_size : 0;
  const std::size_t available = limit - offset;
  if (header_off + kBlockHeader > available) return Outcome::declined("reftable: a block header past the footer");
  const auto length = static_cast<std::size_t>(big_endian(bytes, offset + header_off + 1, 3));
  if (length < header_off + kBlockHeader + kRestartCountSize || length > available ||
      (block_size != 0 && length > block_size)) {
    return Outcome::declined("reftable: a block length outside the table or its block size");
  }
  // git reads the block size's worth (or the block, when longer) and takes
  // a block shorter than that as unpadded when a byte other than zero
  // follows it; otherwise the next block begins a block size further on.
  const std::size_t guess = block_size != 0 ? block_size : kDefaultBlockSize;
  const std::size_t fetched = std::min(std::max(guess, length), available);
  std::size_t full_size = block_size;
  if (block_size == 0 || (length < block_size && length < fetched && bytes[offset + length] != '\0')) {
    full_size = length;
  }

  const auto restart_count = static_cast<std::size_t>(big_endian(bytes, offset + length - kRestartCountSize, 2));
  const std::size_t records_start = header_off + kBlockHeader;
  if (restart_count == 0 || restart_count * kRestartSize + kRestartCountSize > length - records_start) {
    return Outcome::declined("reftable: a block's restart count outside the block");
  }
  const std::size_t records_end = length - kRestartCountSize - restart_count * kRestartSize;
  // The restart points are the records written with their whole name, the
  // first record the first of them; git's lookups search them, so each must
  // begin a record.
  std::size_t restart_index = 0;
  std::string name;
  Cursor cursor(bytes, offset + records_start, offset + records_end);
  while (cursor.at() < offset + records_end) {
    const std::size_t position = cursor.at() - offset;
    bool restart = false;
    if (restart_index < restart_count) {
      const auto point =
          static_cast<std::size_t>(big_endian(bytes, offset + records_end + restart_index * kRestartSize, 3));
      if (point < position) return Outcome::declined("reftable: a restart point inside a record");
      restart = point == position;
    }
    if (position == records_start && !restart)
      return Outcome::declined("reftable: a block whose first record is no restart point");
    ReftableRef ref;
    bool whole_name = false;
    if (const Outcome record = read_record(cursor, table, name, whole_name, ref); record != Outcome::Found) {
      return record;
    }
    if (restart) {
      if (!whole_name) return Outcome::declined("reftable: a restart record that shares a prefix");
      ++restart_index;
    }
    if (!table.refs.empty() && !(table.refs.back().name < ref.name)) {
      return Outcome::declined("reftable: ref names out of order");
    }
    table.refs.push_back(std::move(ref));
  }
  if (restart_index != restart_count) return Outcome::declined("reftable: a restart point past the records");
  next = offset + full_size;
  return Outcome::Found;
}

// --- dulwich's reading, replayed (reftable.py: ReftableReader, RefBlock.decode) ---

enum class Replay : std::uint8_t { Read, Stop, Unsure };

// decode_varint_from_stream: least significant group first. Stop where the
// bytes end (dulwich's None, then its ValueError).
Replay dulwich_varint(std::string_view bytes, std::size_t& at, std::uint64_t& out) {
  std::uint64_t value = 0;
  unsigned shift = 0;
  while (true) {
    if (at >= bytes.size()) return Replay::Stop;
    const auto byte = static_cast<unsigned char>(bytes[at++]);
    const std::uint64_t group = byte & 0x7f;
    if (group != 0) {
      if (shift >= 60 || group >= (kReplayLargest >> shift)) return Replay::Unsure;
      value |= group << shift;
    }
    if (byte < 0x80) break;
    shift += 7;
  }
  if (value >= kReplayLargest) return Replay::Unsure;
  out = value;
  return Replay::Read;
}

// _decode_reftable_suffix_and_type, with its guess between git's varint and
// its own.
Replay dulwich_suffix_and_type(std::string_view bytes, std::size_t& at, std::uint64_t& out) {
  const std::size_t start = at;
  if (at >= bytes.size()) return Replay::Stop;
  const auto first = static_cast<unsigned char>(bytes[at++]);
  if (first < 0x80) {
    out = first;
    return Replay::Read;
  }
  if (at >= bytes.size()) {
    at = start;  // it seeks back to the first byte, which the suffix then begins with
    out = first & 0x7f;
    return Replay::Read;
  }
  const auto second = static_cast<unsigned char>(bytes[at++]);
  if ((second & 0x80) != 0) {
    at = start;
    return dulwich_varint(bytes, at, out);
  }
  const std::uint64_t sum = std::uint64_t{first} + second;
  out = (sum >> 3) < kDulwichSuffixGuess && (sum & 7) <= 3 ? sum : (first & 0x7fU) | ((second & 0x7fU) << 7);
  return Replay::Read;
}

// RefRecord.decode: Stop where it raises ValueError.
Replay dulwich_record(std::string_view bytes, std::size_t& at, const std::string& prefix, std::string& name,
                      std::uint8_t& type, std::string& value) {
  std::uint64_t prefix_length = 0;
  std::uint64_t suffix_and_type = 0;
  std::uint64_t ignored = 0;
  if (Replay read = dulwich_varint(bytes, at, prefix_length); read != Replay::Read) return read;
  if (Replay read = dulwich_suffix_and_type(bytes, at, suffix_and_type); read != Replay::Read) return read;
  const std::uint64_t suffix_length = suffix_and_type >> 3;
  if (suffix_length > bytes.size() - at) return Replay::Stop;
  name = prefix.substr(0, static_cast<std::size_t>(std::min<std::uint64_t>(prefix_length, prefix.size())));
  name.append(bytes.substr(at, static_cast<std::size_t>(suffix_length)));
  at += static_cast<std::size_t>(suffix_length);
  if (Replay read = dulwich_varint(bytes, at, ignored); read != Replay::Read) return read;
  type = static_cast<std::uint8_t>(suffix_and_type & 7);
  switch (type) {
    case 0:
      value.clear();
      return Replay::Read;
    case 1:
    case 2: {
      const std::size_t size = type * kDulwichIdSize;
      if (size > bytes.size() - at) return Replay::Stop;
      value = hex_of(bytes.substr(at, size));
      at += size;
      return Replay::Read;
    }
    case 3: {
      std::uint64_t length = 0;
      if (Replay read = dulwich_varint(bytes, at, length); read != Replay::Read) return read;
      if (length > bytes.size() - at) return Replay::Stop;
      value = std::string(bytes.substr(at, static_cast<std::size_t>(length)));
      at += static_cast<std::size_t>(length);
      return Replay::Read;
    }
    default:
      return Replay::Stop;  // "Unknown ref value type"
  }
}

// RefBlock.decode of one block's data, into the table's dictionary.
bool dulwich_ref_block(std::string_view data, DulwichReftable& table) {
  if (data.empty()) return true;
  const std::size_t marker = data.find(kDulwichMarker);
  const std::size_t end = marker != std::string_view::npos && marker > 0
                              ? marker
                              : (data.size() > kDulwichFooterGuess ? data.size() - kDulwichFooterGuess : 0);
  const std::string_view records = data.substr(0, end);
  std::size_t at = 0;
  std::string prefix;
  while (at < records.size()) {
    if (records.size() - at < kDulwichLeastRecord) break;
    const std::size_t before = at;
    std::string name;
    std::string value;
    std::uint8_t type = 0;
    const Replay read = dulwich_record(records, at, prefix, name, type, value);
    if (read == Replay::Unsure) return false;
    if (read == Replay::Stop) break;
    if (!name.empty()) table.refs[name] = {type, std::move(value)};
    prefix = std::move(name);
    if (at == before) break;
  }
  return true;
}

// The names dulwich takes from tables.list as git does: printable ASCII
// without white space (which dulwich strips and git keeps), without the
// separators dulwich refuses, and not "." or "..".
bool plain_table_name(std::string_view name) {
  if (name == "." || name == "..") return false;
  return std::all_of(name.begin(), name.end(),
                     [](char c) { return c > ' ' && c < 0x7f && c != '/' && c != '\\' && c != ':'; });
}

// Later tables' records override earlier ones' (both in ascending order of
// names).
std::vector<ReftableRef> overlay(std::vector<ReftableRef> lower, std::vector<ReftableRef> upper) {
  std::vector<ReftableRef> merged;
  merged.reserve(lower.size() + upper.size());
  auto low = lower.begin();
  auto high = upper.begin();
  while (low != lower.end() || high != upper.end()) {
    if (high == upper.end() || (low != lower.end() && low->name < high->name)) {
      merged.push_back(std::move(*low++));
    } else {
      if (low != lower.end() && low->name == high->name) ++low;
      merged.push_back(std::move(*high++));
    }
  }
  return merged;
}

using DulwichRefs = std::map<std::string, std::pair<std::uint8_t, std::string>>;

// ReftableRefsContainer._read_all_tables: the tables in order of their
// min_update_index (a stable sort), each record setting its name, a
// deletion removing it.
DulwichRefs dulwich_merge(std::vector<DulwichReftable> tables) {
  std::stable_sort(tables.begin(), tables.end(), [](const DulwichReftable& a, const DulwichReftable& b) {
    return a.min_update_index < b.min_update_index;
  });
  DulwichRefs merged;
  for (DulwichReftable& table : tables) {
    for (auto& [name, record] : table.refs) {
      if (record.first == static_cast<std::uint8_t>(ReftableKind::Deletion)) {
        merged.erase(name);
      } else {
        merged[name] = std::move(record);
      }
    }
  }
  return merged;
}

bool same_refs(const std::vector<ReftableRef>& git, const DulwichRefs& dulwich) {
  if (git.size() != dulwich.size()) return false;
  auto entry = dulwich.begin();
  for (const ReftableRef& ref : git) {
    if (entry->first != ref.name || entry->second.first != static_cast<std::uint8_t>(ref.kind) ||
        entry->second.second != ref.value) {
      return false;
    }
    ++entry;
  }
  return true;
}

}  // namespace

Outcome read_reftable(std::string_view bytes, Reftable& table) {
  table = Reftable();
  if (bytes.size() < kMagic.size() + 1 || !bytes.starts_with(kMagic)) {
    return Outcome::declined("reftable: no REFT signature");
  }
  table.version = static_cast<std::uint8_t>(bytes[4]);
  if (table.version != 1 && table.version != 2) return Outcome::declined("reftable: version {}", table.version);
  const std::size_t header_size = table.version == 1 ? kHeaderV1 : kHeaderV2;
  const std::size_t footer_size = table.version == 1 ? kFooterV1 : kFooterV2;
  if (bytes.size() < header_size + footer_size)
    return Outcome::declined("reftable: shorter than its header and footer");
  const auto block_size = static_cast<std::uint32_t>(big_endian(bytes, 5, 3));
  table.min_update_index = big_endian(bytes, 8, 8);
  table.max_update_index = big_endian(bytes, 16, 8);
  if (table.min_update_index > table.max_update_index) {
    return Outcome::declined("reftable: lowest update index above the highest");
  }
  table.id_size = kSha1Size;
  if (table.version == 2) {
    const auto format = static_cast<std::uint32_t>(big_endian(bytes, 24, 4));
    if (format == kSha256Format) {
      table.id_size = kSha256Size;
    } else if (format != kSha1Format) {
      return Outcome::declined("reftable: a hash id neither sha1 nor s256");
    }
  }
  // The footer: the header again, the sections' positions, and a CRC-32 of
  // all that.
  const std::size_t limit = bytes.size() - footer_size;
  const std::string_view footer = bytes.substr(limit);
  if (footer.substr(0, header_size) != bytes.substr(0, header_size)) {
    return Outcome::declined("reftable: footer does not repeat the header");
  }
  const std::size_t checked = footer_size - 4;
  const auto crc =
      static_cast<std::uint32_t>(crc32(0, reinterpret_cast<const Bytef*>(footer.data()), static_cast<uInt>(checked)));
  if (crc != big_endian(footer, checked, 4)) return Outcome::declined("reftable: footer checksum mismatch");

  // The ref blocks, from the first block (right after the header) while
  // their type is a ref block's.
  std::size_t offset = 0;
  while (offset < limit) {
    const std::size_t type_at = offset + (offset == 0 ? header_size : 0);
    if (type_at >= limit || bytes[type_at] != kRefBlock) break;
    std::size_t next = 0;
    if (const Outcome block = read_ref_block(bytes, offset, header_size, limit, block_size, table, next);
        block != Outcome::Found) {
      return block;
    }
    offset = next;
  }
  return Outcome::Found;
}

bool read_reftable_as_dulwich(std::string_view bytes, DulwichReftable& table) {
  table = DulwichReftable();
  // _read_header: the magic, then struct reads that raise when short.
  if (bytes.size() < kHeaderV1 || !bytes.starts_with(kMagic) || bytes[4] != 1) return false;
  table.min_update_index = big_endian(bytes, 8, 8);
  // _read_blocks: a type byte and a 24-bit length after another, from right
  // after the header, whatever git wrote there.
  std::size_t at = kHeaderV1;
  while (at < bytes.size()) {
    const char type = bytes[at++];
    if (bytes.size() - at < 3) break;
    const std::uint64_t length = big_endian(bytes, at, 3);
    at += 3;
    const std::string_view data = bytes.substr(at, static_cast<std::size_t>(length));
    at += data.size();
    if (type == kRefBlock && !dulwich_ref_block(data, table)) return false;
    if (type == 'R' && length > kDulwichLargestBlock) break;
  }
  return true;
}

// --- the stack ---

// The merged refs of one list of tables.
struct MergedTables {
  std::string directory;
  std::vector<platform::FileIdentity> identities;  // of the tables, in the list's order
  std::vector<ReftableRef> refs;
  std::size_t id_size = 0;
  bool dulwich_reads = true;   // every table is of version 1
  bool dulwich_alike = false;  // and dulwich's reading of them gives these refs
  std::size_t bytes = 0;       // the tables' sizes, added up
};

namespace {

// A table as both readings took it.
struct ReadTable {
  Reftable table;
  bool replayed = false;  // version 1, and the replay of dulwich's reading followed it
  DulwichReftable replay;
  std::size_t bytes = 0;  // the file's size
};

// What was read, under the identities of the files it came from: git never
// rewrites a table, so a table's identity stands for its content (a file
// rewritten in place changes its times or size). Bounded by the bytes read,
// so that a process that sees a large stack compacted again and again keeps
// only the latest few.
template <class Entry>
class ReadCache {
 public:
  template <class Match>
  std::shared_ptr<const Entry> find(const Match& match) {
    std::lock_guard<std::mutex> hold(lock_);
    for (auto it = entries_.begin(); it != entries_.end(); ++it) {
      if (!match(**it)) continue;
      entries_.splice(entries_.begin(), entries_, it);
      return entries_.front();
    }
    return nullptr;
  }
  void keep(std::shared_ptr<const Entry> entry) {
    std::lock_guard<std::mutex> hold(lock_);
    bytes_ += entry->bytes;
    entries_.push_front(std::move(entry));
    while (entries_.size() > 1 && (entries_.size() > kEntries || bytes_ > kBytes)) {
      bytes_ -= entries_.back()->bytes;
      entries_.pop_back();
    }
  }
  void clear() {
    std::lock_guard<std::mutex> hold(lock_);
    entries_.clear();
    bytes_ = 0;
  }

 private:
  static constexpr std::size_t kEntries = 32;
  static constexpr std::size_t kBytes = std::size_t{64} << 20;
  std::mutex lock_;
  std::list<std::shared_ptr<const Entry>> entries_;  // most recently used first
  std::size_t bytes_ = 0;
};

struct CachedTable {
  platform::FileIdentity identity;
  std::shared_ptr<const ReadTable> read;
  std::size_t bytes = 0;
};

ReadCache<CachedTable>& table_cache() {
  static auto* cache = new ReadCache<CachedTable>();  // never destroyed: stores may outlive static teardown
  return *cache;
}

ReadCache<MergedTables>& merged_cache() {
  static auto* cache = new ReadCache<MergedTables>();
  return *cache;
}

// What reading one table gave.
enum class TableRead : std::uint8_t { Read, Vanished, Declined };

// The table at `path`, expected to be the file of `identity`: read whole (or
// taken from what an earlier read of the same file gave). Vanished when it
// is gone or was replaced since its identity was taken; Declined for
// `refusal`.
TableRead read_table(const std::string& path, const platform::FileIdentity& identity,
                     std::shared_ptr<const ReadTable>& out, Outcome& refusal) {
  std::shared_ptr<const CachedTable> cached =
      table_cache().find([&](const CachedTable& entry) { return entry.identity == identity; });
  if (cached != nullptr) {
    out = cached->read;
    return TableRead::Read;
  }
  platform::Buffer content;
  platform::FileInfo info;
  if (const int error = platform::read_whole_file(path, content, info, kLargestTable)) {
    if (error == platform::kNotRegularFile) throw FileError::not_regular(path);
    if (error == EFBIG) {
      throw FileError::too_large(path, "a reftable of " + std::to_string(info.identity.size) +
                                           " bytes, more than the " + std::to_string(kLargestTable) +
                                           " bytes of the largest the store reads");
    }
    if (platform::means_absent(error)) return TableRead::Vanished;
    refusal = Outcome::declined("reftable: a table cannot be read");
    return TableRead::Declined;
  }
  if (info.identity != identity) return TableRead::Vanished;
  auto read = std::make_shared<ReadTable>();
  read->bytes = content.view().size();
  refusal = read_reftable(content.view(), read->table);
  if (refusal != Outcome::Found) return TableRead::Declined;
  if (read->table.version == 1) read->replayed = read_reftable_as_dulwich(content.view(), read->replay);
  out = read;
  table_cache().keep(std::make_shared<const CachedTable>(CachedTable{identity, read, read->bytes}));
  return TableRead::Read;
}

// The tables merged, git's way and dulwich's.
std::shared_ptr<const MergedTables> merge_tables(std::string directory, std::vector<platform::FileIdentity> identities,
                                                 const std::vector<std::shared_ptr<const ReadTable>>& tables) {
  auto merged = std::make_shared<MergedTables>();
  merged->directory = std::move(directory);
  merged->identities = std::move(identities);
  bool replayed = true;
  for (const auto& read : tables) {
    if (merged->id_size != 0 && read->table.id_size != merged->id_size) return nullptr;
    merged->id_size = read->table.id_size;
    merged->bytes += read->bytes;
    if (read->table.version != 1) merged->dulwich_reads = false;
    replayed = replayed && read->replayed;
    std::vector<ReftableRef> upper = read->table.refs;
    merged->refs = overlay(std::move(merged->refs), std::move(upper));
  }
  std::erase_if(merged->refs, [](const ReftableRef& ref) { return ref.kind == ReftableKind::Deletion; });
  if (merged->dulwich_reads && replayed) {
    std::vector<DulwichReftable> replays;
    replays.reserve(tables.size());
    for (const auto& read : tables) replays.push_back(read->replay);
    merged->dulwich_alike = same_refs(merged->refs, dulwich_merge(std::move(replays)));
  }
  return merged;
}

}  // namespace

void clear_reftable_cache() {
  table_cache().clear();
  merged_cache().clear();
}

Outcome ReftableStack::read(const std::string& git_dir, ReftableReading reading, std::size_t id_size) {
  merged_.reset();
  const std::string directory = git_dir + "/reftable";
  platform::Buffer list;
  for (int attempt = 0; attempt < kListReads; ++attempt) {
    const int error = read_repository_file(directory + "/tables.list", list);
    if (error != 0) {
      // No tables.list: dulwich and git alike see no refs.
      if (platform::means_absent(error)) return Outcome::Found;
      return Outcome::declined("reftable: tables.list cannot be read");
    }
    const std::string listed(list.view());
    std::vector<std::string> names;
    std::size_t start = 0;
    while (start < listed.size()) {
      std::size_t end = listed.find('\n', start);
      if (end == std::string::npos) end = listed.size();
      const std::string_view name = std::string_view(listed).substr(start, end - start);
      if (!name.empty()) {
        if (!plain_table_name(name)) return Outcome::declined("reftable: tables.list names no plain file");
        names.emplace_back(name);
      }
      start = end + 1;
    }

    // Which files the tables are now; what was merged of the same files
    // before stands.
    std::vector<platform::FileIdentity> identities(names.size());
    bool vanished = false;
    for (std::size_t i = 0; i < names.size() && !vanished; ++i) {
      const std::string path = directory + "/" + names[i];
      const FileState state = identify(path, identities[i]);
      if (state == FileState::NotRegular) throw FileError::not_regular(path);
      if (state == FileState::Unusable) return Outcome::declined("reftable: a table cannot be read");
      vanished = state == FileState::Absent;
    }
    if (!vanished) {
      merged_ = merged_cache().find(
          [&](const MergedTables& entry) { return entry.directory == directory && entry.identities == identities; });
      std::vector<std::shared_ptr<const ReadTable>> tables(names.size());
      for (std::size_t i = 0; merged_ == nullptr && i < names.size() && !vanished; ++i) {
        Outcome refusal = Outcome::Found;
        switch (read_table(directory + "/" + names[i], identities[i], tables[i], refusal)) {
          case TableRead::Read:
            break;
          case TableRead::Vanished:
            vanished = true;
            break;
          case TableRead::Declined:
            return refusal;
        }
      }
      if (merged_ == nullptr && !vanished) {
        merged_ = merge_tables(directory, identities, tables);
        if (merged_ == nullptr) return Outcome::declined("reftable: tables whose ids differ in size");
        merged_cache().keep(merged_);
      }
    }
    if (vanished) {
      // A compaction may have replaced the table: read the list again, and
      // give up when it still names the same tables.
      platform::Buffer again;
      if (read_repository_file(directory + "/tables.list", again) == 0 && again.view() == listed) {
        return Outcome::declined("reftable: a table vanished and tables.list stayed");
      }
      continue;
    }
    if ((reading == ReftableReading::AsDulwich && merged_->dulwich_reads && !merged_->dulwich_alike) ||
        (id_size != 0 && merged_->id_size != 0 && merged_->id_size != id_size)) {
      const bool other_size = id_size != 0 && merged_->id_size != 0 && merged_->id_size != id_size;
      merged_.reset();
      if (other_size) return Outcome::declined("reftable: ids of another size than the object format's");
      return Outcome::declined("reftable: dulwich reads these tables otherwise than git");
    }
    return Outcome::Found;
  }
  return Outcome::declined("reftable: tables.list changes while read");
}

std::size_t ReftableStack::id_size() const { return merged_ == nullptr ? 0 : merged_->id_size; }

bool ReftableStack::dulwich_reads() const { return merged_ == nullptr || merged_->dulwich_reads; }

const std::vector<ReftableRef>& ReftableStack::refs() const {
  static const std::vector<ReftableRef> none;
  return merged_ == nullptr ? none : merged_->refs;
}

const ReftableRef* ReftableStack::find(std::string_view name) const {
  const std::vector<ReftableRef>& all = refs();
  const auto at = std::lower_bound(all.begin(), all.end(), name,
                                   [](const ReftableRef& ref, std::string_view wanted) { return ref.name < wanted; });
  return at != all.end() && at->name == name ? &*at : nullptr;
}

// --- dulwich's container over the stack ---

namespace {

// dulwich's follow() reads this many refs of a chain at most.
constexpr int kMostRefsFollowed = 5;

}  // namespace

Outcome ReftableRefs::stack(const ReftableStack*& stack) {
  if (!stack_read_) {
    stack_read_ = true;
    stack_outcome_ = stack_.read(git_dir_, ReftableReading::AsDulwich, id_size_);
  }
  stack = &stack_;
  return stack_outcome_;
}

Outcome ReftableRefs::read_ref(std::string_view name, bool& symbolic, std::string& text) {
  const ReftableStack* refs = nullptr;
  if (const Outcome read = stack(refs); read != Outcome::Found) return read;
  const ReftableRef* ref = refs->find(name);
  if (ref == nullptr) return Outcome::Missing;
  symbolic = ref->kind == ReftableKind::Symbolic;
  // A peeled record reads as its first id.
  text = ref->kind == ReftableKind::Peeled ? ref->value.substr(0, 2 * refs->id_size()) : ref->value;
  return Outcome::Found;
}

Outcome ReftableRefs::resolve(std::string_view name, std::string& hex, std::string& missing) {
  const ReftableStack* refs = nullptr;
  if (const Outcome read = stack(refs); read != Outcome::Found) return read;
  std::string_view current = name;
  for (int read_count = 0; read_count < kMostRefsFollowed; ++read_count) {
    const ReftableRef* ref = refs->find(current);
    if (ref == nullptr) {
      missing = std::string(current);
      return Outcome::Missing;
    }
    if (ref->kind != ReftableKind::Symbolic) {
      hex = ref->kind == ReftableKind::Peeled ? ref->value.substr(0, 2 * refs->id_size()) : ref->value;
      return Outcome::Found;
    }
    current = ref->value;
  }
  return Outcome::declined("reftable: a chain dulwich calls a loop");  // ValueError, too many levels
}

Outcome ReftableRefs::for_each(std::string_view prefix, const EachRef& each) {
  const ReftableStack* refs = nullptr;
  if (const Outcome read = stack(refs); read != Outcome::Found) return read;
  // allkeys(): the names held, and every symbolic ref's target, held or not.
  std::vector<std::string_view> names;
  for (const ReftableRef& ref : refs->refs()) {
    if (ref.name.starts_with(prefix)) names.push_back(ref.name);
    if (ref.kind == ReftableKind::Symbolic && ref.value.starts_with(prefix)) names.push_back(ref.value);
  }
  std::sort(names.begin(), names.end());
  names.erase(std::unique(names.begin(), names.end()), names.end());
  for (const std::string_view name : names) {
    std::string hex;
    std::string missing;
    const Outcome read = resolve(name, hex, missing);
    if (read == Outcome::Declined) return read;
    each(name, hex);
  }
  return Outcome::Found;
}

}  // namespace store
