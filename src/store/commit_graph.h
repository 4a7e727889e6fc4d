// The commit-graph: commit ids, parents and generation levels for walks,
// without reading the commits. A cache written by whoever wrote the
// repository: each file's structure is checked once (not its checksum: see
// check()), every position read from it is checked again when it is read (the file may be
// written in place while it is mapped), a row's parents are compared with the
// commit it stands for before a walk relies on them, and the generation
// levels are used only where they agree with the parents for the whole file.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "store/graph_position.h"
#include "store/mapped_file.h"
#include "store/object_id.h"
#include "store/outcome.h"

namespace store {

// What is learnt about one graph file as walks use it, kept under its
// identity: written once (the one-time checks) or only ever set (the marks
// of rows compared with their commits), so any thread may read it.
struct GraphFileFacts;

class CommitGraph {
 public:
  // The graph of a repository: `objects/info/commit-graph`, or else the
  // chain in `objects/info/commit-graphs/`. Null when there is none, when a
  // file of it fails a check (header, chunk table, chunk sizes, fanout, id
  // order, base ids), when a commit is in two layers of a chain, when a row of it was found to
  // disagree with its commit, or when the repository has a shallow file,
  // grafts or replace refs. Throws FileError (file_error.h) where one of its
  // files, packed-refs or commondir is a pipe, a socket or a device.
  // Every file must hold ids of the repository's `format`.
  static std::unique_ptr<CommitGraph> open(const std::string& git_dir, const std::string& objects_dir,
                                           HashFormat format);

  // A graph over layers given as bytes, base first (for tests); the bytes
  // must outlive the graph. Null when a layer fails a check.
  static std::unique_ptr<CommitGraph> parse(const std::vector<std::string_view>& layers, HashFormat format);

  ~CommitGraph();

  // Number of commits, all layers together.
  std::uint32_t size() const { return total_; }
  // Whether `position` lies inside the graph.
  bool holds(GraphPosition position) const { return position.value() < total_; }
  // The position of a commit, or nullopt when the graph does not have it.
  std::optional<GraphPosition> find(const ObjectId& id) const;
  // The id at `position`; false for a position outside the graph.
  bool id_at(GraphPosition position, ObjectId& id) const;
  // Appends the parent positions of `position` as its row records them,
  // first parent first and octopus parents in their stored order. False when
  // the position lies outside the graph, a parent lies outside the row's own
  // layer and those below it (as git refuses it: what is learnt of a file is
  // kept for every chain it is in, and only the layers below are pinned by
  // its base ids), or an octopus list runs past its chunk: the graph is then
  // not to be used.
  bool parents(GraphPosition position, std::vector<GraphPosition>& out) const;
  // The entries of the octopus chunks, all layers together. Each row's list
  // is its own (as git writes them), so the rows read once each name no more
  // octopus parents than this; rows that share a list could make a pass
  // over them read it again for each.
  std::size_t octopus_entries() const { return octopus_entries_; }
  // The commit's topological level, 1 + the highest of its parents'; 0 for a
  // position outside the graph. Rely on it only when levels_agree().
  std::uint32_t generation(GraphPosition position) const;
  // Whether every row's level is non-zero and above its parents' levels,
  // in every layer (checked once per file, on first use).
  bool levels_agree() const;

  // Rows compared with their commits. A row is `checked` once its parents
  // were found equal to the commit's, and `closed` once it and every row
  // below it are checked. A row found to disagree makes its file unusable
  // from then on, for every store. Positions outside the graph are neither,
  // and marking them does nothing.
  bool checked(GraphPosition position) const;
  void mark_checked(GraphPosition position) const;
  bool closed(GraphPosition position) const;
  void mark_closed(GraphPosition position) const;
  void mark_disagreeing(GraphPosition position) const;

 private:
  struct Layer {
    std::shared_ptr<const MappedFile> file;  // null for parsed bytes
    std::shared_ptr<GraphFileFacts> facts;
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
    GraphPosition first{0};  // position of its first commit
    HashFormat format = HashFormat::Sha1;
    ObjectId checksum;

    // Where the layer's row `row` (below `count`) stands in the graph.
    GraphPosition position_of(LayerRow row) const { return GraphPosition(first.value() + row.value()); }
  };
  // A row as the graph finds it: the layer whose file holds it, and its
  // number there.
  struct LayerAndRow {
    const Layer& layer;
    LayerRow row;
  };
  CommitGraph() = default;
  // Reads a layer's header and chunk table and finds its chunks (cheap):
  // every chunk lies inside the file, at the size its commit count implies,
  // and its ids are of `format`.
  static Outcome locate(Layer& layer, HashFormat format);
  // The one-time check of what `locate` does not see: the fanout and the
  // ids' order. Not the rows nor the trailing checksum: what a walk relies
  // on is checked where it is read.
  static std::shared_ptr<GraphFileFacts> check(const Layer& layer);
  static std::unique_ptr<CommitGraph> assemble(std::vector<Layer> layers);
  // Whether an id of layer `k` is also in a layer below it (kept with the
  // layer's file: its base ids pin the layers below).
  static bool repeats_below(const std::vector<Layer>& layers, std::size_t k);
  // The row at `position`, which the caller found inside the graph.
  LayerAndRow layer_of(GraphPosition position) const;
  bool compute_levels_agree() const;

  std::vector<Layer> layers_;
  std::uint32_t total_ = 0;
  std::size_t octopus_entries_ = 0;
  HashFormat format_ = HashFormat::Sha1;
};

// True when the repository at `git_dir` has a shallow file, grafts or replace
// refs: then commits are not what their stored parents say, and the graph
// must not be used.
bool history_is_rewritten(const std::string& git_dir);

}  // namespace store
