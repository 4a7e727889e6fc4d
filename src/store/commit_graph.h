// The commit-graph: commit ids and parents for walks, without reading the
// commits. Used only after every file of it has been checked.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "store/mapped_file.h"
#include "store/object_id.h"

namespace store {

class CommitGraph {
 public:
  // The graph of a repository: `objects/info/commit-graph`, or else the
  // chain in `objects/info/commit-graphs/`. Null when there is none, when a
  // file of it fails a check (header, chunk table, chunk sizes, fanout, id
  // order, parent positions, octopus lists, base ids, trailing checksum),
  // or when the repository has a shallow file, grafts or replace refs.
  static std::unique_ptr<CommitGraph> open(const std::string& git_dir, const std::string& objects_dir);

  // A graph over layers given as bytes, base first (for tests); the bytes
  // must outlive the graph. Null when a layer fails a check.
  static std::unique_ptr<CommitGraph> parse(const std::vector<std::string_view>& layers);

  // Number of commits, all layers together.
  std::uint32_t size() const { return total_; }
  // The position of a commit, or nullopt when the graph does not have it.
  std::optional<std::uint32_t> find(const ObjectId& id) const;
  // The id at a position (< size()).
  ObjectId id_at(std::uint32_t position) const;
  // Appends the parent positions of a position, first parent first and
  // octopus parents in their stored order.
  void parents(std::uint32_t position, std::vector<std::uint32_t>& out) const;
  // The commit's topological level, 1 + the highest of its parents' (0 when
  // the writer did not compute it).
  std::uint32_t generation(std::uint32_t position) const;

 private:
  struct Layer {
    std::shared_ptr<const MappedFile> file;  // null for parsed bytes
    const std::uint8_t* data = nullptr;
    std::size_t size = 0;
    const std::uint8_t* fanout = nullptr;
    const std::uint8_t* ids = nullptr;
    const std::uint8_t* rows = nullptr;
    const std::uint8_t* edges = nullptr;
    std::size_t edge_count = 0;
    const std::uint8_t* bases = nullptr;
    std::uint32_t base_count = 0;  // base graphs named in the header
    std::uint32_t count = 0;
    std::uint32_t first = 0;  // position of its first commit
    ObjectId checksum;
  };
  // Reads a layer's header and chunk table and finds its chunks (cheap).
  static bool locate(Layer& layer);
  // Checks what `locate` does not: id order, parent positions, octopus
  // lists and the trailing checksum. `highest` is the largest parent
  // position the layer names (-1 for none).
  static bool verify(const Layer& layer, std::int64_t& highest);
  static std::unique_ptr<CommitGraph> assemble(std::vector<Layer> layers);
  const Layer& layer_of(std::uint32_t position) const;

  std::vector<Layer> layers_;
  std::uint32_t total_ = 0;
};

// True when the repository at `git_dir` has a shallow file, grafts or replace
// refs: then commits are not what their stored parents say, and the graph
// must not be used.
bool history_is_rewritten(const std::string& git_dir);

}  // namespace store
