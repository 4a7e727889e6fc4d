#include "store/commit_graph.h"

#include <cstring>

#include "platform/files.h"
#include "store/declines.h"
#include "store/file_error.h"
#include "store/ref_files.h"

namespace store {

namespace {

// The layout of a graph file: a header, a table of chunks (an id and an
// 8-byte offset each, ended by an entry of id 0), the chunks, and the
// checksum of all that.
// Ids, the trailer and the rows' tree ids are of the repository's format,
// which the header's hash version names (1 SHA-1, 2 SHA-256).
constexpr std::size_t kGraphHeaderSize = 8;  // "CGPH", version, hash version, chunk count, base count
constexpr std::size_t kChunkEntrySize = 12;
constexpr std::size_t kFanoutSize = 256 * 4;
constexpr std::uint8_t hash_version(HashFormat format) { return format == HashFormat::Sha1 ? 1 : 2; }
// A CDAT row: the root tree's id, the first and second parent positions,
// then the generation level (top 30 bits of the next four bytes) and the
// commit time.
struct RowLayout {
  explicit constexpr RowLayout(HashFormat format)
      : first_parent(id_size(format)),
        second_parent(first_parent + 4),
        level(first_parent + 8),
        size(first_parent + 16) {}
  std::size_t first_parent, second_parent, level, size;
};

constexpr std::uint32_t kNoParent = 0x70000000;
constexpr std::uint32_t kEdgeFlag = 0x80000000;  // second parent: an EDGE index; in EDGE: the list's last
constexpr std::uint32_t kPositionMask = 0x7fffffff;
constexpr std::uint32_t kChunkFanout = 0x4f494446;  // OIDF
constexpr std::uint32_t kChunkIds = 0x4f49444c;     // OIDL
constexpr std::uint32_t kChunkData = 0x43444154;    // CDAT
constexpr std::uint32_t kChunkEdges = 0x45444745;   // EDGE
constexpr std::uint32_t kChunkBases = 0x42415345;   // BASE

// Something is at `path` (or it cannot be told that nothing is).
bool exists(const std::string& path) {
  platform::FileInfo info;
  const int error = platform::file_info(path, false, info);
  return error == 0 || !platform::means_absent(error);
}

// True when the directory holds anything at all (or cannot be read).
bool directory_has_entries(const std::string& path) {
  std::vector<platform::DirectoryEntry> entries;
  const int error = platform::list_directory(path, entries);
  if (error != 0) return !platform::means_absent(error);
  return !entries.empty();
}

bool rewritten_here(const std::string& dir) {
  if (exists(dir + "/shallow") || exists(dir + "/info/grafts")) return true;
  if (directory_has_entries(dir + "/refs/replace")) return true;
  // Whether packed-refs names a replace ref is learnt when the file is read,
  // once per file identity: it can be large (every tag).
  std::shared_ptr<const PackedRefsFile> packed;
  switch (read_packed_refs(dir + "/packed-refs", packed)) {
    case FileState::Present:
      return packed->names_replace_refs;
    case FileState::Absent:
      return false;
    default:
      return true;
  }
}

}  // namespace

// One bit per row, set at most once, read by any thread. (Outside the
// unnamed namespace: GraphFileFacts, declared in the header, holds two.)
class RowMarks {
 public:
  explicit RowMarks(std::uint32_t rows) : words_((std::size_t{rows} + 63) / 64) {}
  bool test(LayerRow row) const {
    return (words_[row.value() / 64].load(std::memory_order_acquire) >> (row.value() % 64) & 1) != 0;
  }
  void set(LayerRow row) {
    words_[row.value() / 64].fetch_or(std::uint64_t{1} << (row.value() % 64), std::memory_order_release);
  }

 private:
  std::vector<std::atomic<std::uint64_t>> words_;
};

struct GraphFileFacts {
  explicit GraphFileFacts(std::uint32_t rows) : checked(rows), closed(rows) {}

  // The one-time check: the fanout and the ids' order sound.
  bool sound = false;
  const char* unsound = nullptr;  // why not, when not
  // Whether the rows' levels agree with their parents' (in this file and the
  // files below it, which its base ids pin): unknown until first asked.
  enum class Levels : std::uint8_t { Unknown, Agree, Disagree };
  std::atomic<Levels> levels{Levels::Unknown};
  // Rows compared with their commits, and whether any disagreed.
  RowMarks checked, closed;
  std::atomic<bool> disagreeing{false};
  // Whether an id of this file is also in a file below it in its chain
  // (which its base ids pin): unknown until the chain is assembled.
  enum class Repeats : std::uint8_t { Unknown, None, Some };
  std::atomic<Repeats> repeats{Repeats::Unknown};
};

namespace {

FileFacts<GraphFileFacts>& graph_file_facts() {
  static auto* facts = new FileFacts<GraphFileFacts>();  // never destroyed, as above
  return *facts;
}

}  // namespace

bool history_is_rewritten(const std::string& git_dir) {
  if (rewritten_here(git_dir)) return true;
  // A linked worktree keeps these in the common directory.
  platform::Buffer contents;
  if (read_repository_file(git_dir + "/commondir", contents) == 0) {
    std::string common(contents.view());
    while (!common.empty() && (common.back() == '\n' || common.back() == '\r')) common.pop_back();
    if (common.empty()) return true;
    const std::string path = common[0] == '/' ? common : git_dir + "/" + common;
    return rewritten_here(path);
  }
  return false;
}

Outcome CommitGraph::locate(Layer& layer, HashFormat format) {
  const std::uint8_t* data = layer.data;
  const std::uint64_t size = layer.size;
  const std::size_t id_bytes = id_size(format);
  const std::size_t trailer = id_bytes;
  if (size < kGraphHeaderSize + kChunkEntrySize + trailer)
    return Outcome::declined("commit-graph: shorter than its header");
  if (std::memcmp(data, "CGPH", 4) != 0) return Outcome::declined("commit-graph: no CGPH signature");
  if (data[4] != 1) return Outcome::declined("commit-graph: version {}", data[4]);
  if (data[5] != hash_version(format)) return Outcome::declined("commit-graph: hash version {}", data[5]);
  layer.format = format;
  const std::uint64_t chunks = data[6];
  layer.base_count = data[7];
  const std::uint64_t table_end = kGraphHeaderSize + kChunkEntrySize * (chunks + 1);
  const std::uint64_t chunks_end = size - trailer;
  if (table_end > chunks_end) return Outcome::declined("commit-graph: chunk table past the end");
  std::uint64_t fanout_size = 0, ids_size = 0, rows_size = 0, edges_size = 0, bases_size = 0;
  bool has_fanout = false, has_ids = false, has_rows = false, has_edges = false, has_bases = false;
  for (std::uint64_t i = 0; i < chunks; ++i) {
    const std::uint8_t* entry = data + kGraphHeaderSize + kChunkEntrySize * i;
    const std::uint32_t id = read_be32(entry);
    const std::uint64_t start = read_be64(entry + 4);
    const std::uint64_t end = read_be64(entry + kChunkEntrySize + 4);
    if (id == 0 || start < table_end || end < start || end > chunks_end) {
      return Outcome::declined("commit-graph: chunk outside the file");
    }
    const std::uint8_t* at = data + start;
    const std::uint64_t length = end - start;
    bool* seen = nullptr;
    switch (id) {
      case kChunkFanout:
        seen = &has_fanout, layer.fanout = at, fanout_size = length;
        break;
      case kChunkIds:
        seen = &has_ids, layer.ids = at, ids_size = length;
        break;
      case kChunkData:
        seen = &has_rows, layer.rows = at, rows_size = length;
        break;
      case kChunkEdges:
        seen = &has_edges, layer.edges = at, edges_size = length;
        break;
      case kChunkBases:
        seen = &has_bases, layer.bases = at, bases_size = length;
        break;
      default:
        break;
    }
    if (seen != nullptr) {
      if (*seen) return Outcome::declined("commit-graph: a chunk given twice");
      *seen = true;
    }
  }
  if (read_be32(data + kGraphHeaderSize + kChunkEntrySize * chunks) != 0) {
    return Outcome::declined("commit-graph: chunk table not ended by id 0");
  }
  if (!has_fanout || !has_ids || !has_rows) return Outcome::declined("commit-graph: a required chunk missing");
  if (fanout_size != kFanoutSize) return Outcome::declined("commit-graph: fanout chunk of the wrong size");
  // The commit count is the fanout's last entry; every table is as long as it
  // implies, so that a position below the count is always inside the file.
  layer.count = read_be32(layer.fanout + kFanoutSize - 4);
  if (layer.count >= kNoParent) return Outcome::declined("commit-graph: more commits than positions");
  if (ids_size != std::uint64_t{layer.count} * id_bytes) {
    return Outcome::declined("commit-graph: id chunk of the wrong size");
  }
  if (rows_size != std::uint64_t{layer.count} * RowLayout(format).size) {
    return Outcome::declined("commit-graph: commit data chunk of the wrong size");
  }
  if (edges_size % 4 != 0) return Outcome::declined("commit-graph: octopus chunk of the wrong size");
  layer.edge_count = has_edges ? edges_size / 4 : 0;
  if (!has_edges) layer.edges = nullptr;
  if (bases_size != std::uint64_t{layer.base_count} * id_bytes || (layer.base_count != 0) != has_bases) {
    return Outcome::declined("commit-graph: base chunk disagrees with the header");
  }
  layer.checksum = ObjectId::from_raw(data + size - trailer, format);
  return Outcome::Found;
}

std::shared_ptr<GraphFileFacts> CommitGraph::check(const Layer& layer) {
  auto facts = std::make_shared<GraphFileFacts>(layer.count);
  const std::size_t id_bytes = id_size(layer.format);
  auto fanout = [&](std::size_t i) { return read_be32(layer.fanout + 4 * i); };
  // The fanout never decreases; ids strictly increase, each in the bucket of
  // its first byte.
  auto unsound = [&](const char* reason) {
    facts->unsound = reason;
    return facts;
  };
  for (std::size_t i = 1; i < 256; ++i) {
    if (fanout(i) < fanout(i - 1)) return unsound("commit-graph: fanout not monotonic");
  }
  for (std::uint32_t i = 0; i < layer.count; ++i) {
    const std::uint8_t* id = layer.ids + id_bytes * std::size_t{i};
    if (i != 0 && std::memcmp(id - id_bytes, id, id_bytes) >= 0) return unsound("commit-graph: ids out of order");
    const std::uint32_t below = id[0] == 0 ? 0 : fanout(id[0] - 1);
    if (i < below || i >= fanout(id[0])) return unsound("commit-graph: an id outside its fanout bucket");
  }
  // The rows are not gone through, nor is the trailing checksum recomputed:
  // either would cost a walk's first call more than the walk (tens of
  // milliseconds for a million commits), and vouch for nothing the walks
  // rely on unchecked. Ids are exact; a row's parent fields and octopus list
  // are checked where they are read (parents()), and its parents compared
  // with its commit before a walk relies on them; a flipped bit elsewhere
  // changes nothing a walk reads.
  facts->sound = true;
  return facts;
}

namespace {

// The row of `id` among a layer's ids (sorted, as the one-time check found
// them), searched within its fanout bucket as the bucket's bounds read now.
std::optional<LayerRow> row_of(const std::uint8_t* fanout, const std::uint8_t* ids, std::uint32_t count,
                               std::size_t id_bytes, const std::uint8_t* id) {
  std::uint32_t low = id[0] == 0 ? 0 : read_be32(fanout + 4 * (id[0] - 1));
  std::uint32_t high = read_be32(fanout + 4 * id[0]);
  if (low > high || high > count) return std::nullopt;
  while (low < high) {
    const std::uint32_t middle = low + (high - low) / 2;
    const int order = std::memcmp(ids + id_bytes * std::size_t{middle}, id, id_bytes);
    if (order == 0) return LayerRow(middle);
    if (order < 0) {
      low = middle + 1;
    } else {
      high = middle;
    }
  }
  return std::nullopt;
}

}  // namespace

namespace {

// Whether two runs of ids, each in strictly increasing order (as the one-time
// check found them), hold an id in common: one pass over both, in order,
// which reads each file's ids once from start to end (a search of one in the
// other for every id of the smaller took a chain of a million commits 40 ms).
bool share_an_id(const std::uint8_t* left, std::uint32_t left_count, const std::uint8_t* right,
                 std::uint32_t right_count, std::size_t id_bytes) {
  std::uint32_t i = 0, j = 0;
  while (i < left_count && j < right_count) {
    const int order = std::memcmp(left + id_bytes * std::size_t{i}, right + id_bytes * std::size_t{j}, id_bytes);
    if (order == 0) return true;
    if (order < 0) {
      ++i;
    } else {
      ++j;
    }
  }
  return false;
}

}  // namespace

bool CommitGraph::repeats_below(const std::vector<Layer>& layers, std::size_t k) {
  using Repeats = GraphFileFacts::Repeats;
  const Layer& upper = layers[k];
  const Repeats known = upper.facts->repeats.load();
  if (known != Repeats::Unknown) return known == Repeats::Some;
  bool repeats = false;
  for (std::size_t b = 0; b < k && !repeats; ++b) {
    const Layer& lower = layers[b];
    repeats = share_an_id(upper.ids, upper.count, lower.ids, lower.count, id_size(upper.format));
  }
  upper.facts->repeats.store(repeats ? Repeats::Some : Repeats::None);
  return repeats;
}

std::unique_ptr<CommitGraph> CommitGraph::assemble(std::vector<Layer> layers) {
  auto graph = std::unique_ptr<CommitGraph>(new CommitGraph());
  std::uint64_t total = 0;
  for (std::size_t k = 0; k < layers.size(); ++k) {
    Layer& layer = layers[k];
    auto refuse = [&layer](const char* reason) {
      if (layer.file != nullptr) note_refused_file(reason, layer.file->identity());
      return nullptr;
    };
    if (!layer.facts->sound) return refuse(layer.facts->unsound);
    if (layer.facts->disagreeing.load()) return refuse("commit-graph: a row disagreed with its commit");
    // Each layer names the layers below it, in order.
    if (layer.base_count != k) return refuse("commit-graph: base count differs from its place in the chain");
    for (std::size_t b = 0; b < k; ++b) {
      if (ObjectId::from_raw(layer.bases + id_size(layer.format) * b, layer.format) != layers[b].checksum)
        return refuse("commit-graph: a base id differs from the layer below");
    }
    // Walks tell commits apart by position: a commit in two layers would be
    // two commits to them.
    if (k != 0 && repeats_below(layers, k)) return refuse("commit-graph: a commit in two layers of the chain");
    layer.first = GraphPosition(static_cast<std::uint32_t>(total));
    total += layer.count;
    if (total >= kNoParent) return refuse("commit-graph: more commits than positions");
  }
  if (layers.empty()) return nullptr;
  graph->total_ = static_cast<std::uint32_t>(total);
  for (const Layer& layer : layers) graph->octopus_entries_ += layer.edge_count;
  graph->format_ = layers.front().format;
  graph->layers_ = std::move(layers);
  return graph;
}

CommitGraph::~CommitGraph() = default;

std::unique_ptr<CommitGraph> CommitGraph::parse(const std::vector<std::string_view>& bytes, HashFormat format) {
  std::vector<Layer> layers;
  for (const std::string_view layer_bytes : bytes) {
    Layer layer;
    layer.data = reinterpret_cast<const std::uint8_t*>(layer_bytes.data());
    layer.size = layer_bytes.size();
    if (locate(layer, format) != Outcome::Found) return nullptr;
    layer.facts = check(layer);
    layers.push_back(layer);
  }
  return assemble(std::move(layers));
}

std::unique_ptr<CommitGraph> CommitGraph::open(const std::string& git_dir, const std::string& objects_dir,
                                               HashFormat format) {
  if (history_is_rewritten(git_dir)) return nullptr;
  // Each file checked once, what was found kept under its identity.
  auto load = [format](const std::string& path, std::vector<Layer>& layers) {
    Layer layer;
    layer.file = map_file(path);
    if (layer.file == nullptr) return false;
    layer.data = layer.file->data();
    layer.size = layer.file->size();
    if (const Outcome located = locate(layer, format); located != Outcome::Found) {
      note_refused_file(located, layer.file->identity());
      return false;
    }
    layer.facts = graph_file_facts().find(layer.file->identity());
    if (layer.facts == nullptr) layer.facts = graph_file_facts().keep(layer.file->identity(), check(layer));
    layers.push_back(std::move(layer));
    return true;
  };
  const std::string info = objects_dir + "/info";
  std::vector<Layer> layers;
  if (load(info + "/commit-graph", layers)) return assemble(std::move(layers));
  layers.clear();
  platform::Buffer chain_file;
  if (read_repository_file(info + "/commit-graphs/commit-graph-chain", chain_file) != 0) return nullptr;
  const std::string_view chain = chain_file.view();
  std::size_t at = 0;
  while (at < chain.size()) {
    std::size_t end = chain.find('\n', at);
    if (end == std::string::npos) end = chain.size();
    const std::string_view line = chain.substr(at, end - at);
    at = end + 1;
    if (!is_hex_id(line, format)) {
      note_decline("commit-graph: a chain line that is no id of the object format");
      return nullptr;
    }
    const ObjectId hash = *ObjectId::from_hex(line, format);
    if (!load(info + "/commit-graphs/graph-" + std::string(line) + ".graph", layers)) return nullptr;
    // A layer is named after its checksum.
    if (layers.back().checksum != hash) {
      note_refused_file("commit-graph: a layer's checksum differs from its name", layers.back().file->identity());
      return nullptr;
    }
  }
  return assemble(std::move(layers));
}

std::optional<GraphPosition> CommitGraph::find(const ObjectId& id) const {
  if (id.format != format_) return std::nullopt;
  for (const Layer& layer : layers_) {
    if (std::optional<LayerRow> row = row_of(layer.fanout, layer.ids, layer.count, id.size(), id.bytes.data())) {
      return layer.position_of(*row);
    }
  }
  return std::nullopt;
}

CommitGraph::LayerAndRow CommitGraph::layer_of(GraphPosition position) const {
  std::size_t k = layers_.size() - 1;
  while (k > 0 && position < layers_[k].first) --k;
  const Layer& layer = layers_[k];
  return {layer, LayerRow(position.value() - layer.first.value())};
}

bool CommitGraph::id_at(GraphPosition position, ObjectId& id) const {
  if (!holds(position)) return false;
  const auto [layer, row] = layer_of(position);
  id = ObjectId::from_raw(layer.ids + id_size(format_) * std::size_t{row.value()}, format_);
  return true;
}

bool CommitGraph::parents(GraphPosition position, std::vector<GraphPosition>& out) const {
  if (!holds(position)) return false;
  const auto [layer, row] = layer_of(position);
  const RowLayout row_layout(format_);
  const std::uint8_t* fields = layer.rows + row_layout.size * std::size_t{row.value()};
  const std::uint32_t first = read_be32(fields + row_layout.first_parent);
  const std::uint32_t second = read_be32(fields + row_layout.second_parent);
  // A parent field names a position once it is found inside the row's own
  // layer or one below it (which its file's base ids pin).
  const std::uint32_t end = layer.first.value() + layer.count;
  auto take = [&](std::uint32_t parent) {
    if (parent >= end) return false;
    out.push_back(GraphPosition(parent));
    return true;
  };
  if (first == kNoParent) return second == kNoParent;
  if (!take(first)) return false;
  if (second == kNoParent) return true;
  if ((second & kEdgeFlag) == 0) return take(second);
  for (std::size_t edge = second & kPositionMask; edge < layer.edge_count; ++edge) {
    const std::uint32_t value = read_be32(layer.edges + 4 * edge);
    if (!take(value & kPositionMask)) return false;
    if (value & kEdgeFlag) return true;
  }
  return false;  // the list runs past its chunk
}

std::uint32_t CommitGraph::generation(GraphPosition position) const {
  if (!holds(position)) return 0;
  const auto [layer, row] = layer_of(position);
  const RowLayout row_layout(format_);
  return read_be32(layer.rows + row_layout.size * std::size_t{row.value()} + row_layout.level) >> 2;
}

bool CommitGraph::levels_agree() const {
  using Levels = GraphFileFacts::Levels;
  for (const Layer& layer : layers_) {
    const Levels known = layer.facts->levels.load();
    if (known == Levels::Disagree) return false;
    if (known == Levels::Unknown) return compute_levels_agree();
  }
  return true;
}

// Every row's level non-zero and above each of its parents' (git writes 0
// for "not computed"; a graph with corrected dates may hold levels git never
// reads). Worked out for each layer in turn, base first, and kept with it.
// Rows whose octopus lists together name more parents than the layer's
// chunk holds share lists, as git never writes them: such a layer disagrees
// (reading a shared list again for each row could take rows x entries).
bool CommitGraph::compute_levels_agree() const {
  using Levels = GraphFileFacts::Levels;
  std::vector<GraphPosition> parent_positions;
  for (const Layer& layer : layers_) {
    if (layer.facts->levels.load() == Levels::Agree) continue;
    bool agree = layer.facts->levels.load() != Levels::Disagree;
    std::size_t octopus_parents = 0;
    for (std::uint32_t row = 0; agree && row < layer.count; ++row) {
      const GraphPosition position = layer.position_of(LayerRow(row));
      const std::uint32_t level = generation(position);
      parent_positions.clear();
      agree = level != 0 && parents(position, parent_positions);
      if (parent_positions.size() > 2) octopus_parents += parent_positions.size() - 1;
      agree = agree && octopus_parents <= layer.edge_count;
      for (const GraphPosition parent : parent_positions) agree = agree && generation(parent) < level;
    }
    layer.facts->levels.store(agree ? Levels::Agree : Levels::Disagree);
    if (!agree) return false;
  }
  return true;
}

bool CommitGraph::checked(GraphPosition position) const {
  if (!holds(position)) return false;
  const auto [layer, row] = layer_of(position);
  return layer.facts->checked.test(row);
}

bool CommitGraph::closed(GraphPosition position) const {
  if (!holds(position)) return false;
  const auto [layer, row] = layer_of(position);
  return layer.facts->closed.test(row);
}

void CommitGraph::mark_checked(GraphPosition position) const {
  if (!holds(position)) return;
  const auto [layer, row] = layer_of(position);
  layer.facts->checked.set(row);
}

void CommitGraph::mark_closed(GraphPosition position) const {
  if (!holds(position)) return;
  const auto [layer, row] = layer_of(position);
  layer.facts->closed.set(row);
}

void CommitGraph::mark_disagreeing(GraphPosition position) const {
  if (!holds(position)) return;
  layer_of(position).layer.facts->disagreeing.store(true);
}

}  // namespace store
