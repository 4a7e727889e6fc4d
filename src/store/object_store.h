// The native object store: reads objects from a repository's packs, loose
// files and alternates, and answers only when its answer is certainly the
// one dulwich gives.
//
// A read is Found only when the content hashes to the id asked for and
// every step on the way was one dulwich takes the same way. Everything else
// is Missing (no copy anywhere the store looks) or Declined (something
// dulwich would raise on, treat in its own way, or that the store does not
// parse): in both cases the caller asks dulwich, so the host sees dulwich's
// answer or dulwich's exception.
//
// Nothing here throws except std::bad_alloc, which any call that allocates
// may let through, and FileError (file_error.h) for a file that neither the
// store nor dulwich may read: a loose object, a pack, a pack index, the
// commit-graph, shallow or alternates that is a pipe, a socket or a device
// (or a link to one), and a loose object larger than kMaxObjectSize, as its
// header declares or as it inflates, whatever the loose limit says.
#pragma once

#include <cstddef>
#include <cstdint>
#include <list>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "store/commit_graph.h"
#include "store/file_error.h"
#include "store/id_set.h"
#include "store/mapped_file.h"
#include "store/object_id.h"
#include "store/outcome.h"
#include "store/pack.h"
#include "store/recent_objects.h"

namespace store {

struct StoreOptions {
  // dulwich's `loose_object_size_limit` (core.bigFileThreshold when set):
  // a loose object inflating to more than this is left to dulwich.
  std::uint64_t loose_object_size_limit = std::uint64_t{512} << 20;
  // The delta base cache.
  std::size_t base_cache_bytes = std::size_t{32} << 20;
  std::size_t base_cache_entries = 1024;
};

class ObjectStore {
 public:
  // Lists the packs of `objects_dir` (each `*.pack` with a matching `*.idx`)
  // and maps their indexes. `git_dir` is where the commit-graph looks for
  // shallow, grafts and replace refs. `format` is the repository's object
  // format: every id the store reads or is asked for is of it.
  ObjectStore(std::string git_dir, std::string objects_dir, HashFormat format, StoreOptions options = {});
  ~ObjectStore();
  ObjectStore(const ObjectStore&) = delete;
  ObjectStore& operator=(const ObjectStore&) = delete;

  // dulwich's `get_raw` order: packs, then the loose file, then alternates
  // (five levels deep at most, a cycle not followed). `content` is reused:
  // once warm, a read of a whole packed object allocates nothing. On
  // anything but Found, `type` and `content` are unspecified.
  //
  // Found content is what dulwich's `get_raw` gives and hashes to `id`.
  // dulwich parses a loose object as it reads it, so a loose object is Found
  // only in a shape its parser takes; a packed object is not parsed on the
  // way: before standing in for `repo[id]`, parse it with parse_commit or
  // parse_tree (objects.h) and ask dulwich when they decline.
  Outcome read(const ObjectId& id, ObjectType& type, Buffer& content);

  // Whether packed objects read from now on are kept between stores (see
  // recent_objects.h): for reads that calls repeat (a page of history, the
  // trees of HEAD), not for walks over a whole history.
  void keep_reads(bool keep) { keep_reads_ = keep; }

  // The commit-graph of this repository, or null when it is absent, unusable
  // or must not be used (shallow, grafts, replace refs). Opened on first use.
  //
  // A walk that trusts the graph may read no commit at all, where dulwich
  // raises the first time a Repo reads from a pack whose data it refuses
  // (AssertionError or ChecksumMismatch from its length and checksum check):
  // the two roads would raise in different calls, or one not at all. So
  // before the graph is used every pack of the repository's object
  // directories (alternates included) is checked as dulwich checks it; if
  // one fails, or an index or a pack directory cannot be read, there is no
  // graph and every read from then on is Declined: the walks of the call go
  // through dulwich. Without a graph no check is needed: every read that
  // lands in such a pack is Declined already, and the walk it belongs to is
  // asked of dulwich, which meets the same pack.
  const CommitGraph* commit_graph();
  // For a call whose walks read a few hundred commits (a page, the sets
  // beside it, one commit's parents): they go without the commit-graph. Its
  // first opening in a process checks the ids of every commit it holds,
  // which costs a large history's first page more than the reads it saves.
  // Before the first walk: every walk of one store must agree on it.
  void skip_commit_graph() { graph_opened_ = true; }

  // The commits `.git/shallow` names, whose parents a shallow clone left
  // out (empty without the file); null when the file cannot be read as
  // dulwich's `get_shallow` reads it (it would raise). Read on first use.
  const IdSet* shallow_commits();

  HashFormat format() const { return format_; }

  // Number of packs listed in the main objects directory (for tests).
  std::size_t pack_count() const;

 private:
  struct Pack {
    std::string base;  // path without ".idx" / ".pack"
    std::unique_ptr<PackIndex> index;
    PackIndex::Load load = PackIndex::Load::Declined;
    std::shared_ptr<const MappedFile> data;
    std::optional<bool>
        data_usable;  // whether the pack file's header and checksum agree with its index; unset until looked at
    const char* refusal = nullptr;  // why not, when not
  };
  static constexpr std::size_t kNoParent = SIZE_MAX;
  struct Directory {
    std::string path;
    int depth = 0;
    std::size_t parent = kNoParent;  // the directory whose alternates name this one
    std::uint64_t device = 0, inode = 0;
    bool listed = false;
    const char* fault = nullptr;  // why dulwich would raise on some lookup here, if it would
    std::vector<Pack> packs;
    bool alternates_read = false;
    std::vector<std::size_t> alternates;  // indexes into directories_
  };
  struct Location {
    std::uint32_t pack;
    std::uint64_t offset;
  };

  void list_packs(Directory& directory);
  void read_alternates(std::size_t directory);
  Outcome read_in(std::size_t directory, const ObjectId& id, ObjectType& type, Buffer& content);
  Outcome read_packed(std::size_t directory, std::uint32_t pack, std::uint64_t offset, ObjectType& type,
                      Buffer& content);
  Outcome read_loose(const Directory& directory, const ObjectId& id, ObjectType& type, Buffer& content);
  bool pack_data_usable(Pack& pack);
  // Where a copy of `id` read from `pack` (its data usable) is kept.
  static RecentKey recent_key(const Pack& pack, const ObjectId& id) {
    return {pack.data->identity(), pack.index->identity(), id};
  }
  // pack_data_usable, or what an earlier store learnt of the same two files.
  bool pack_matches(Pack& pack);
  // Whether every index and pack of every object directory is one dulwich
  // reads without raising (see commit_graph).
  bool packs_sound();
  // Notes the identity of the repository's own objects directory, so that
  // an alternate naming it again is known.
  void know_own_directory();

  // Resolved objects by (directory and pack, offset), least recently used first out.
  struct CacheKey {
    std::uint64_t pack;
    std::uint64_t offset;
    friend bool operator==(const CacheKey&, const CacheKey&) = default;
  };
  struct CacheKeyHash {
    std::size_t operator()(const CacheKey& key) const noexcept {
      return static_cast<std::size_t>(key.offset * 0x9E3779B97F4A7C15ull ^ key.pack);
    }
  };
  struct Cached {
    CacheKey key;
    ObjectType type;
    std::vector<std::uint8_t> content;
  };
  const Cached* cache_find(const CacheKey& key);
  void cache_put(const CacheKey& key, ObjectType type, const std::uint8_t* data, std::size_t size);

  std::string git_dir_;
  HashFormat format_;
  StoreOptions options_;
  std::vector<std::unique_ptr<Directory>> directories_;  // [0] is the repository's own
  Inflater inflater_;
  Buffer scratch_, delta_, loose_;
  std::vector<std::uint64_t> chain_;
  std::list<Cached> cache_;
  std::unordered_map<CacheKey, std::list<Cached>::iterator, CacheKeyHash> cache_index_;
  std::size_t cache_bytes_ = 0;
  bool keep_reads_ = false;
  bool refused_ = false;  // packs or alternates dulwich raises on: the whole call is left to dulwich
  bool graph_opened_ = false;
  std::unique_ptr<CommitGraph> graph_;
  bool shallow_read_ = false;
  std::optional<IdSet> shallow_;
};

}  // namespace store
