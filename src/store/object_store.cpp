#include "store/object_store.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <utility>

#include "platform/files.h"
#include "store/declines.h"
#include "store/file_error.h"
#include "store/object_hash.h"
#include "store/objects.h"
#include "store/recent_objects.h"

namespace store {

namespace {

// git follows alternates this many levels below the repository's own store.
constexpr int kAlternateDepth = 5;

bool ends_with(std::string_view text, std::string_view tail) {
  return text.size() >= tail.size() && text.substr(text.size() - tail.size()) == tail;
}

bool is_hex_digit(char ch) { return (ch >= '0' && ch <= '9') || (ch >= 'a' && ch <= 'f') || (ch >= 'A' && ch <= 'F'); }

// bytes.strip()'s whitespace.
bool is_ascii_space(char ch) { return ch == ' ' || ch == '\t' || ch == '\n' || ch == '\r' || ch == '\v' || ch == '\f'; }

// dulwich's `get_shallow`: each line stripped, empty ones skipped, the rest
// ids of 40 or 64 hexadecimal digits in either case (anything else makes it
// raise). Ids in another form than the format's lowercase digits never equal
// an id a native walk meets, so they are left out.
std::optional<IdSet> read_shallow(const std::string& git_dir, HashFormat format) {
  platform::Buffer contents;
  if (const int error = read_repository_file(git_dir + "/shallow", contents)) {
    if (error == ENOENT) return IdSet();
    return std::nullopt;
  }
  IdSet shallow;
  const std::string_view text = contents.view();
  for (std::size_t start = 0; start < text.size();) {
    std::size_t end = text.find('\n', start);
    end = end == std::string_view::npos ? text.size() : end + 1;
    std::string_view line = text.substr(start, end - start);
    start = end;
    while (!line.empty() && is_ascii_space(line.front())) line.remove_prefix(1);
    while (!line.empty() && is_ascii_space(line.back())) line.remove_suffix(1);
    if (line.empty()) continue;
    if (!format_of_hex_size(line.size())) return std::nullopt;
    if (!std::all_of(line.begin(), line.end(), is_hex_digit)) return std::nullopt;
    if (is_hex_id(line, format)) shallow.insert(*ObjectId::from_hex(line, format));
  }
  return shallow;
}

// The largest loose file that an object of kMaxObjectSize can be stored in:
// zlib's bound for the inflated size, header included (a stream of stored
// blocks stays within it too).
constexpr std::uint64_t kMaxLooseFileSize = kMaxObjectSize + kMaxObjectSize / 1024 + 4096;

// Room for the longest header the store reads: "commit", a space, twelve
// digits and the NUL.
constexpr std::size_t kLooseHeaderRoom = 32;

// What an overrunning stream is inflated into to be measured.
constexpr std::size_t kZlibPiece = std::size_t{64} << 10;

// The object's type from its loose header name.
bool type_from_name(std::string_view name, ObjectType& type) {
  if (name == "commit") {
    type = ObjectType::Commit;
  } else if (name == "tree") {
    type = ObjectType::Tree;
  } else if (name == "blob") {
    type = ObjectType::Blob;
  } else if (name == "tag") {
    type = ObjectType::Tag;
  } else {
    return false;
  }
  return true;
}

// One loose object's zlib stream, inflated a piece at a time into the
// caller's memory.
class LooseStream {
 public:
  enum class Status : std::uint8_t {
    Full,   // the room is filled; the stream may go on
    Ended,  // the stream ended, its checksum right
    Broken  // damaged, or cut short
  };

  LooseStream(const std::uint8_t* in, std::size_t size) {
    // A loose file the store reads is far smaller than zlib's 32-bit counts.
    ready_ = size <= UINT32_MAX && inflateInit(&stream_) == Z_OK;
    stream_.next_in = const_cast<Bytef*>(in);
    stream_.avail_in = static_cast<uInt>(size);
  }
  ~LooseStream() {
    if (ready_) inflateEnd(&stream_);
  }
  LooseStream(const LooseStream&) = delete;
  LooseStream& operator=(const LooseStream&) = delete;

  // Inflates into `out`, at most `room` bytes; `produced` says how many.
  Status inflate_into(std::uint8_t* out, std::size_t room, std::size_t& produced) {
    produced = 0;
    if (!ready_ || room > UINT32_MAX) return Status::Broken;
    stream_.next_out = out;
    stream_.avail_out = static_cast<uInt>(room);
    for (;;) {
      const int status = inflate(&stream_, Z_NO_FLUSH);
      produced = room - stream_.avail_out;
      if (status == Z_STREAM_END) return Status::Ended;
      if (stream_.avail_out == 0) return Status::Full;
      // No progress with room to spare: the input ended early, or is damaged.
      if (status != Z_OK) return Status::Broken;
    }
  }

  // Input bytes after the stream's end.
  std::size_t left() const { return stream_.avail_in; }

 private:
  z_stream stream_{};
  bool ready_ = false;
};

// What is left of a loose object the store does not build, `inflated` bytes
// of content so far (its stream runs past the size its header declares, or
// the header declares more than the store's bound): dulwich would still read
// it, up to its own limit. Within the store's bound that is for dulwich to
// say (Declined for `reason`); past it, what dulwich would build is too large
// for anyone.
Outcome measure_overrun(const std::string& path, LooseStream& stream, LooseStream::Status status,
                        std::uint64_t inflated, Buffer& scratch, const char* reason) {
  scratch.resize(kZlibPiece);
  while (status == LooseStream::Status::Full && inflated <= kMaxObjectSize) {
    std::size_t produced = 0;
    status = stream.inflate_into(scratch.data(), scratch.size(), produced);
    inflated += produced;
  }
  if (inflated > kMaxObjectSize) {
    throw FileError::too_large(path, "a loose object that inflates to more than the " + std::to_string(kMaxObjectSize) +
                                         " bytes of the largest object the store reads");
  }
  return Outcome::declined(reason);
}

// Why the store declines a loose object of `type` that dulwich would raise on
// as it parses it (every blob parses).
Outcome unparsed_loose_object(ObjectType type) {
  switch (type) {
    case ObjectType::Commit:
      return Outcome::declined("loose object: a commit dulwich would not parse");
    case ObjectType::Tree:
      return Outcome::declined("loose object: a tree dulwich would not parse");
    case ObjectType::Tag:
      return Outcome::declined("loose object: a tag dulwich would not parse");
    case ObjectType::Blob:
      break;
  }
  return Outcome::declined("loose object: dulwich would not parse it");
}

}  // namespace

ObjectStore::ObjectStore(std::string git_dir, std::string objects_dir, HashFormat format, StoreOptions options)
    : git_dir_(std::move(git_dir)), format_(format), options_(options) {
  auto own = std::make_unique<Directory>();
  own->path = std::move(objects_dir);
  directories_.push_back(std::move(own));
  list_packs(*directories_[0]);
}

ObjectStore::~ObjectStore() = default;

std::size_t ObjectStore::pack_count() const { return directories_[0]->packs.size(); }

void ObjectStore::list_packs(Directory& directory) {
  directory.listed = true;
  const std::string pack_dir = directory.path + "/pack";
  std::vector<platform::DirectoryEntry> entries;
  if (const int error = platform::list_directory(pack_dir, entries)) {
    // No pack directory is no packs; any other failure makes dulwich raise.
    if (error != ENOENT) directory.fault = "objects: a pack directory that cannot be listed";
    return;
  }
  std::vector<std::string> names;
  names.reserve(entries.size());
  for (platform::DirectoryEntry& entry : entries) names.push_back(std::move(entry.name));
  std::sort(names.begin(), names.end());
  for (const std::string& name : names) {
    if (!ends_with(name, ".pack")) continue;
    const std::string base = name.substr(0, name.size() - 5);
    if (!std::binary_search(names.begin(), names.end(), base + ".idx")) continue;
    Pack pack;
    pack.base = pack_dir + "/" + base;
    std::shared_ptr<const MappedFile> index_file = map_file(pack.base + ".idx");
    if (index_file == nullptr) {
      pack.load = PackIndex::Load::Declined;
      directory.fault = "pack index: file cannot be mapped";
    } else {
      const FileIdentity identity = index_file->identity();
      const char* refusal = nullptr;
      pack.load = PackIndex::load(std::move(index_file), format_, pack.index, refusal);
      if (pack.load == PackIndex::Load::Declined) {
        directory.fault = refusal;
        note_refused_file(refusal, identity);
      }
    }
    directory.packs.push_back(std::move(pack));
  }
}

void ObjectStore::read_alternates(std::size_t index) {
  directories_[index]->alternates_read = true;
  if (directories_[index]->depth >= kAlternateDepth) return;
  platform::Buffer contents;
  if (read_repository_file(directories_[index]->path + "/info/alternates", contents) != 0) return;
  const std::string_view text = contents.view();
  // Every directory read so far, and those on the way here (dulwich looks
  // into an alternate that names one of them again and again, without end).
  std::vector<std::pair<std::uint64_t, std::uint64_t>> seen, ancestors;
  for (const auto& directory : directories_) seen.emplace_back(directory->device, directory->inode);
  for (std::size_t at = index; at != kNoParent; at = directories_[at]->parent) {
    ancestors.emplace_back(directories_[at]->device, directories_[at]->inode);
  }
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    const std::string line(text.substr(start, end - start));
    start = end + 1;
    if (!line.empty() && line[0] == '#') continue;
    auto alternate = std::make_unique<Directory>();
    alternate->path = !line.empty() && line[0] == '/' ? line : directories_[index]->path + "/" + line;
    alternate->depth = directories_[index]->depth + 1;
    alternate->parent = index;
    // dulwich opens every alternate as a store of SHA-1 ids, whatever the
    // repository's format: one raises on the first id of another format
    // that reaches it, whether or not there is anything there.
    const bool other_format = format_ != HashFormat::Sha1;
    platform::FileInfo info;
    const int error = platform::file_info(alternate->path, true, info);
    // Nothing there: dulwich finds nothing there either.
    if (error != 0 && platform::means_absent(error) && !other_format) continue;
    const std::pair<std::uint64_t, std::uint64_t> key(info.identity.device, info.identity.inode);
    // Why dulwich raises when it gets here, if it does (AssertionError,
    // OSError, NotADirectoryError, RecursionError).
    const char* fault = nullptr;
    if (other_format) {
      fault = "alternates: dulwich reads them as SHA-1 stores";
    } else if (error != 0) {
      fault = "alternates: a line naming a path that cannot be looked at";
    } else if (info.kind != platform::FileKind::Directory) {
      fault = "alternates: a line naming no directory";
    } else if (std::find(ancestors.begin(), ancestors.end(), key) != ancestors.end()) {
      fault = "alternates: a line naming its own directory or one that borrows from it";
    }
    if (fault != nullptr) {
      alternate->listed = alternate->alternates_read = true;
      alternate->fault = fault;
    } else {
      if (std::find(seen.begin(), seen.end(), key) != seen.end()) continue;
      seen.push_back(key);
      alternate->device = key.first;
      alternate->inode = key.second;
    }
    directories_.push_back(std::move(alternate));
    directories_[index]->alternates.push_back(directories_.size() - 1);
  }
}

Outcome ObjectStore::read(const ObjectId& id, ObjectType& type, Buffer& content) {
  if (refused_) {
    return note_decline(
        Outcome::declined("objects: packs or alternates dulwich raises on, met before using the graph"));
  }
  if (id.format != format_) return note_decline(Outcome::declined("objects: id of the other object format"));
  know_own_directory();
  return note_decline(read_in(0, id, type, content));
}

void ObjectStore::know_own_directory() {
  if (directories_[0]->device == 0 && directories_[0]->inode == 0) {
    platform::FileInfo info;
    if (platform::file_info(directories_[0]->path, true, info) == 0) {
      directories_[0]->device = info.identity.device;
      directories_[0]->inode = info.identity.inode;
    }
  }
}

bool ObjectStore::packs_sound() {
  know_own_directory();
  // By number: reading a directory's alternates adds directories at the end.
  for (std::size_t index = 0; index < directories_.size(); ++index) {
    Directory& directory = *directories_[index];
    if (!directory.listed) list_packs(directory);
    if (directory.fault != nullptr) {
      note_decline(directory.fault);
      return false;
    }
    for (Pack& pack : directory.packs) {
      // dulwich never reaches the data of a pack whose index it passes over.
      if (pack.load == PackIndex::Load::Usable && !pack_matches(pack)) return false;
    }
    if (!directory.alternates_read) read_alternates(index);
  }
  return true;
}

Outcome ObjectStore::read_in(std::size_t index, const ObjectId& id, ObjectType& type, Buffer& content) {
  {
    Directory& directory = *directories_[index];
    if (!directory.listed) list_packs(directory);
    // dulwich visits packs in no fixed order: if any of them would raise on
    // this id, so might dulwich, whichever copy the store finds.
    if (directory.fault != nullptr) return Outcome::declined(directory.fault);
    bool found = false;
    for (std::uint32_t p = 0; p < directory.packs.size(); ++p) {
      Pack& pack = directory.packs[p];
      if (pack.load != PackIndex::Load::Usable) continue;
      // A copy this very pack file gave before, found through this very
      // index: checked then as it would be now, and found again without
      // searching the index (whose search costs more, the larger it is, than
      // the kept copy). Asked once this call has the pack's data at hand.
      if (pack.data_usable.value_or(false) && find_recent(recent_key(pack, id), type, content)) {
        found = true;
        continue;
      }
      std::uint64_t offset = 0;
      const Outcome lookup = pack.index->find(id, offset);
      if (lookup == Outcome::Declined) return lookup;
      if (lookup == Outcome::Missing) continue;
      if (pack_data_usable(pack) && find_recent(recent_key(pack, id), type, content)) {
        found = true;
        continue;
      }
      // Every copy must read back as this very object: dulwich may take any.
      const Outcome copy = read_packed(index, p, offset, type, content);
      if (copy == Outcome::Declined) return copy;
      if (copy != Outcome::Found || object_id(format_, type, content.data(), content.size()) != id) {
        return Outcome::declined("pack: an object's content does not hash to its id");
      }
      if (keep_reads_) keep_recent(recent_key(pack, id), type, content);
      found = true;
    }
    if (found) return Outcome::Found;
    const Outcome loose = read_loose(directory, id, type, content);
    if (loose != Outcome::Missing) return loose;
    if (!directory.alternates_read) read_alternates(index);
  }
  // By number: reading an alternate may add directories (never to this list).
  for (std::size_t k = 0; k < directories_[index]->alternates.size(); ++k) {
    const Outcome result = read_in(directories_[index]->alternates[k], id, type, content);
    if (result != Outcome::Missing) return result;
  }
  return Outcome::Missing;
}

bool ObjectStore::pack_matches(Pack& pack) {
  FileIdentity identity;
  if (identify(pack.base + ".pack", identity) == FileState::Present &&
      known_to_match(pack.index->identity(), identity)) {
    return true;
  }
  if (!pack_data_usable(pack)) return false;
  remember_match(pack.index->identity(), pack.data->identity());
  return true;
}

bool ObjectStore::pack_data_usable(Pack& pack) {
  if (pack.data_usable) return *pack.data_usable;
  pack.data_usable = false;
  pack.data = map_file(pack.base + ".pack");
  if (pack.data == nullptr) {
    pack.refusal = "pack: file cannot be mapped";
    return false;
  }
  const std::uint8_t* data = pack.data->data();
  const std::size_t size = pack.data->size();
  auto refuse = [&](const char* reason) {
    pack.refusal = reason;
    note_refused_file(reason, pack.data->identity());
    return false;
  };
  // dulwich checks the header, the object count against the index's and the
  // pack's checksum against the one the index records. (Each entry is still
  // checked against the mapping's bounds when it is read.)
  const std::size_t trailer = pack_trailer_size(format_);
  if (size < kPackHeaderSize + trailer) return refuse("pack: shorter than its header and trailer");
  if (std::memcmp(data, "PACK", 4) != 0) return refuse("pack: no PACK signature");
  const std::uint32_t version = read_be32(data + 4);
  if (version != 2 && version != 3) return refuse("pack: a version other than 2 or 3");
  if (read_be32(data + 8) != pack.index->count()) return refuse("pack: object count differs from its index's");
  ObjectId recorded;
  if (const Outcome record = pack.index->pack_checksum(recorded); record != Outcome::Found) {
    return refuse(record.reason());
  }
  if (ObjectId::from_raw(data + size - trailer, format_) != recorded) {
    return refuse("pack: checksum differs from the one its index records");
  }
  pack.data_usable = true;
  return true;
}

const ObjectStore::Cached* ObjectStore::cache_find(const CacheKey& key) {
  auto found = cache_index_.find(key);
  if (found == cache_index_.end()) return nullptr;
  cache_.splice(cache_.begin(), cache_, found->second);
  return &*found->second;
}

void ObjectStore::cache_put(const CacheKey& key, ObjectType type, const std::uint8_t* data, std::size_t size) {
  if (size > options_.base_cache_bytes / 4 || options_.base_cache_entries == 0) return;
  if (cache_index_.count(key) != 0) return;
  cache_.push_front(Cached{key, type, std::vector<std::uint8_t>(data, data + size)});
  cache_index_.emplace(key, cache_.begin());
  cache_bytes_ += size;
  while (cache_bytes_ > options_.base_cache_bytes || cache_.size() > options_.base_cache_entries) {
    cache_bytes_ -= cache_.back().content.size();
    cache_index_.erase(cache_.back().key);
    cache_.pop_back();
  }
}

Outcome ObjectStore::read_packed(std::size_t directory_number, std::uint32_t pack_number, std::uint64_t offset,
                                 ObjectType& type, Buffer& content) {
  Pack& pack = directories_[directory_number]->packs[pack_number];
  if (!pack_data_usable(pack)) return Outcome::declined(pack.refusal);
  const std::uint8_t* data = pack.data->data();
  const std::size_t size = pack.data->size();
  const std::size_t trailer = pack_trailer_size(format_);
  // Packs of every directory have keys of their own.
  const std::uint64_t pack_key = (static_cast<std::uint64_t>(directory_number) << 32) | pack_number;

  // Walk down the chain to a whole object or to one already resolved.
  chain_.clear();
  const Cached* cached = nullptr;
  PackEntry entry;
  std::uint64_t at = offset;
  for (;;) {
    cached = cache_find(CacheKey{pack_key, at});
    if (cached != nullptr) break;
    if (!parse_pack_entry(data, size, format_, at, entry)) return Outcome::declined("pack: entry header malformed");
    if (is_whole_object(entry.kind)) break;
    // Longer than the pack has entries: a cycle.
    if (chain_.size() > pack.index->count()) return Outcome::declined("pack: delta chain longer than the pack");
    chain_.push_back(at);
    if (entry.kind == EntryKind::OffsetDelta) {
      at = entry.base;
    } else {
      // dulwich looks a reference delta's base up in the same pack only.
      std::uint64_t base = 0;
      const Outcome lookup = pack.index->find(ObjectId::from_raw(entry.base_id, format_), base);
      if (lookup == Outcome::Declined) return lookup;
      if (lookup != Outcome::Found) return Outcome::declined("pack: delta base not in the same pack");
      if (base == 0 || base == at) return Outcome::declined("pack: delta base at its own offset");
      at = base;
    }
  }

  Buffer* result = &content;
  if (cached != nullptr) {
    type = cached->type;
    result->assign(cached->content.data(), cached->content.size());
  } else {
    type = static_cast<ObjectType>(entry.kind);
    result->resize(static_cast<std::size_t>(entry.size) + kInflateSlack);
    if (!inflater_.inflate_exact(data + entry.data, size - trailer - entry.data, result->data(),
                                 static_cast<std::size_t>(entry.size))) {
      return Outcome::declined("pack: object data does not inflate to its size");
    }
    result->resize(static_cast<std::size_t>(entry.size));
    if (!chain_.empty()) cache_put(CacheKey{pack_key, at}, type, result->data(), result->size());
  }
  // Apply the deltas from the base upwards.
  for (std::size_t i = chain_.size(); i-- > 0;) {
    if (!parse_pack_entry(data, size, format_, chain_[i], entry))
      return Outcome::declined("pack: entry header malformed");
    delta_.resize(static_cast<std::size_t>(entry.size) + kInflateSlack);
    if (!inflater_.inflate_exact(data + entry.data, size - trailer - entry.data, delta_.data(),
                                 static_cast<std::size_t>(entry.size))) {
      return Outcome::declined("pack: delta does not inflate to its size");
    }
    if (!apply_delta(result->data(), result->size(), delta_.data(), static_cast<std::size_t>(entry.size), scratch_)) {
      return Outcome::declined("pack: delta does not apply to its base");
    }
    std::swap(*result, scratch_);
    if (i != 0) cache_put(CacheKey{pack_key, chain_[i]}, type, result->data(), result->size());
  }
  return Outcome::Found;
}

Outcome ObjectStore::read_loose(const Directory& directory, const ObjectId& id, ObjectType& type, Buffer& content) {
  const std::string hex = id.hex();
  std::string path = directory.path;
  path += '/';
  path.append(hex, 0, 2);
  path += '/';
  path.append(hex, 2);
  platform::FileInfo info;
  if (const int error = platform::read_whole_file(path, loose_, info, kMaxLooseFileSize)) {
    if (error == platform::kNotRegularFile) throw FileError::not_regular(path);
    if (error == EFBIG) {
      throw FileError::too_large(path, "a loose object file of " + std::to_string(info.identity.size) +
                                           " bytes, more than the " + std::to_string(kMaxLooseFileSize) +
                                           " bytes that hold the largest object the store reads");
    }
    if (error == ENOENT) return Outcome::Missing;
    return Outcome::declined("loose object: file cannot be read");
  }
  // dulwich reads only the zlib form git writes (its "legacy" form).
  if (loose_.size() < 2) return Outcome::declined("loose object: shorter than a zlib header");
  const unsigned b0 = loose_.data()[0], b1 = loose_.data()[1];
  if ((b0 & 0x8F) != 0x08 || ((b0 << 8) + b1) % 31 != 0) return Outcome::declined("loose object: not a zlib stream");

  // The header first ("blob 12\0"): it says how large the object is, and
  // the object is inflated into exactly that room.
  LooseStream stream(loose_.data(), loose_.size());
  std::uint8_t head[kLooseHeaderRoom];
  std::size_t produced = 0;
  LooseStream::Status status = stream.inflate_into(head, sizeof head, produced);
  if (status == LooseStream::Status::Broken) return Outcome::declined("loose object: zlib stream damaged");
  const std::string_view header(reinterpret_cast<const char*>(head), produced);
  const std::size_t nul = header.find('\0');
  if (nul == std::string_view::npos) return Outcome::declined("loose object: header malformed");
  const std::size_t space = header.find(' ');
  if (space > nul || !type_from_name(header.substr(0, space), type))
    return Outcome::declined("loose object: type malformed");
  const std::string_view digits = header.substr(space + 1, nul - space - 1);
  if (digits.empty() || digits.size() > 12 || (digits[0] == '0' && digits.size() > 1)) {
    return Outcome::declined("loose object: size malformed");
  }
  std::uint64_t declared = 0;
  for (const char ch : digits) {
    if (ch < '0' || ch > '9') return Outcome::declined("loose object: size malformed");
    declared = declared * 10 + static_cast<std::uint64_t>(ch - '0');
  }
  const std::size_t header_size = nul + 1;
  // A header may claim any size: what counts is how far the stream runs
  // (dulwich reads a short one and raises on it).
  if (declared > kMaxObjectSize) {
    return measure_overrun(path, stream, status, produced - header_size, scratch_,
                           "loose object: a header declaring more than the largest object the store reads");
  }
  // dulwich inflates no more than its limit (the header included), and
  // raises past it.
  if (header_size + declared > options_.loose_object_size_limit) {
    return Outcome::declined("loose object: larger than the loose object size limit");
  }
  const std::size_t size = static_cast<std::size_t>(declared);
  content.resize(size + kInflateSlack);
  std::size_t have = std::min(produced - header_size, size + kInflateSlack);
  std::memcpy(content.data(), head + header_size, have);
  if (status == LooseStream::Status::Full && have <= size) {
    status = stream.inflate_into(content.data() + have, size + kInflateSlack - have, produced);
    if (status == LooseStream::Status::Broken) return Outcome::declined("loose object: zlib stream damaged");
    have += produced;
  }
  if (have > size) {
    return measure_overrun(path, stream, status, have, scratch_,
                           "loose object: inflates past the size its header declares");
  }
  if (have != size) return Outcome::declined("loose object: shorter than its header declares");
  // Bytes after the stream: dulwich ignores them, git would not.
  if (stream.left() != 0) return Outcome::declined("loose object: bytes after the zlib stream");
  Hasher hasher(format_);
  hasher.update(head, header_size);
  hasher.update(content.data(), size);
  if (hasher.finish() != id) return Outcome::declined("loose object: content does not hash to its id");
  content.resize(size);
  // dulwich parses a loose object as it reads it: what it would refuse to
  // parse, it raises on.
  if (!parses_like_dulwich(type, content.view(), format_)) return unparsed_loose_object(type);
  return Outcome::Found;
}

const IdSet* ObjectStore::shallow_commits() {
  if (!shallow_read_) {
    shallow_read_ = true;
    shallow_ = read_shallow(git_dir_, format_);
  }
  return shallow_ ? &*shallow_ : nullptr;
}

const CommitGraph* ObjectStore::commit_graph() {
  if (!graph_opened_) {
    graph_opened_ = true;
    graph_ = CommitGraph::open(git_dir_, directories_[0]->path, format_);
    if (graph_ != nullptr && !packs_sound()) {
      graph_.reset();
      refused_ = true;
    }
  }
  return graph_.get();
}

}  // namespace store
