#include "store/commit_graph.h"

#include <cstring>

#include "platform/files.h"
#include "store/sha1.h"

namespace store {

namespace {

constexpr std::uint32_t kNoParent = 0x70000000;
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

// Whether packed-refs names a replace ref, kept per file: it can be large
// (every tag), and is looked through again only when it changes.
FileFacts<bool>& packed_replace_refs() {
  static auto* facts = new FileFacts<bool>();  // never destroyed: stores may outlive static teardown
  return *facts;
}

bool rewritten_here(const std::string& dir) {
  if (exists(dir + "/shallow") || exists(dir + "/info/grafts")) return true;
  if (directory_has_entries(dir + "/refs/replace")) return true;
  const std::shared_ptr<const MappedFile> packed = map_file(dir + "/packed-refs");
  if (packed == nullptr) {
    FileIdentity ignored;
    return identify(dir + "/packed-refs", ignored) == FileState::Unusable;
  }
  std::shared_ptr<bool> names_replace = packed_replace_refs().find(packed->identity());
  if (names_replace == nullptr) {
    constexpr std::string_view kReplace = "refs/replace/";
    const std::string_view text(reinterpret_cast<const char*>(packed->data()), packed->size());
    names_replace = packed_replace_refs().keep(packed->identity(),
                                               std::make_shared<bool>(text.find(kReplace) != std::string_view::npos));
  }
  return *names_replace;
}

// What the one-time check of a graph layer found.
struct LayerCheck {
  bool sound = false;
  std::int64_t highest_parent = -1;  // the largest parent position it names
};

FileFacts<LayerCheck>& checked_layers() {
  static auto* facts = new FileFacts<LayerCheck>();  // never destroyed, as above
  return *facts;
}

}  // namespace

bool history_is_rewritten(const std::string& git_dir) {
  if (rewritten_here(git_dir)) return true;
  // A linked worktree keeps these in the common directory.
  platform::Buffer contents;
  if (platform::read_whole_file(git_dir + "/commondir", contents) == 0) {
    std::string common(contents.view());
    while (!common.empty() && (common.back() == '\n' || common.back() == '\r')) common.pop_back();
    if (common.empty()) return true;
    const std::string path = common[0] == '/' ? common : git_dir + "/" + common;
    return rewritten_here(path);
  }
  return false;
}

bool CommitGraph::locate(Layer& layer) {
  const std::uint8_t* data = layer.data;
  const std::size_t size = layer.size;
  if (size < 8 + 12 + 20 || std::memcmp(data, "CGPH", 4) != 0 || data[4] != 1 || data[5] != 1) return false;
  const std::size_t chunks = data[6];
  layer.base_count = data[7];
  const std::size_t table_end = 8 + 12 * (chunks + 1);
  if (table_end > size - 20) return false;
  std::uint64_t fanout_size = 0, ids_size = 0, rows_size = 0, edges_size = 0, bases_size = 0;
  bool has_fanout = false, has_ids = false, has_rows = false, has_edges = false, has_bases = false;
  for (std::size_t i = 0; i < chunks; ++i) {
    const std::uint8_t* row = data + 8 + 12 * i;
    const std::uint32_t id = read_be32(row);
    const std::uint64_t start = read_be64(row + 4);
    const std::uint64_t end = read_be64(row + 16);
    if (id == 0 || start < table_end || end < start || end > size - 20) return false;
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
      if (*seen) return false;  // a chunk given twice
      *seen = true;
    }
  }
  if (read_be32(data + 8 + 12 * chunks) != 0) return false;
  if (!has_fanout || !has_ids || !has_rows || fanout_size != 1024) return false;
  std::uint32_t previous = 0;
  for (std::size_t i = 0; i < 256; ++i) {
    const std::uint32_t value = read_be32(layer.fanout + 4 * i);
    if (value < previous) return false;
    previous = value;
  }
  layer.count = previous;
  if (ids_size != std::uint64_t{layer.count} * 20 || rows_size != std::uint64_t{layer.count} * 36) return false;
  if (edges_size % 4 != 0) return false;
  layer.edge_count = has_edges ? edges_size / 4 : 0;
  if (!has_edges) layer.edges = nullptr;
  if (bases_size != std::uint64_t{layer.base_count} * 20 || (layer.base_count != 0) != has_bases) return false;
  layer.checksum = ObjectId::from_raw(data + size - 20);
  return true;
}

bool CommitGraph::verify(const Layer& layer, std::int64_t& highest) {
  // Ids strictly increasing, each in the fanout bucket of its first byte.
  for (std::uint32_t i = 0; i < layer.count; ++i) {
    const std::uint8_t* id = layer.ids + 20 * std::size_t{i};
    if (i != 0 && std::memcmp(id - 20, id, 20) >= 0) return false;
    const std::uint32_t below = id[0] == 0 ? 0 : read_be32(layer.fanout + 4 * (id[0] - 1));
    if (i < below || i >= read_be32(layer.fanout + 4 * id[0])) return false;
  }
  // Parent positions, octopus lists ending inside the edge chunk.
  highest = -1;
  auto note = [&](std::uint32_t position) {
    if (static_cast<std::int64_t>(position) > highest) highest = position;
  };
  for (std::uint32_t i = 0; i < layer.count; ++i) {
    const std::uint8_t* row = layer.rows + 36 * std::size_t{i};
    const std::uint32_t first = read_be32(row + 20);
    const std::uint32_t second = read_be32(row + 24);
    if (first == kNoParent) {
      if (second != kNoParent) return false;
      continue;
    }
    if (first & 0x80000000u) return false;
    note(first);
    if (second == kNoParent) continue;
    if ((second & 0x80000000u) == 0) {
      note(second);
      continue;
    }
    std::size_t edge = second & 0x7fffffffu;
    for (;; ++edge) {
      if (edge >= layer.edge_count) return false;
      const std::uint32_t value = read_be32(layer.edges + 4 * edge);
      if ((value & 0x7fffffffu) == kNoParent) return false;
      note(value & 0x7fffffffu);
      if (value & 0x80000000u) break;
    }
  }
  // The trailing checksum, over everything before it: a flipped bit
  // anywhere makes the file unusable.
  Sha1 sha;
  sha.update(layer.data, layer.size - 20);
  return sha.finish() == layer.checksum;
}

std::unique_ptr<CommitGraph> CommitGraph::assemble(std::vector<Layer> layers) {
  auto graph = std::unique_ptr<CommitGraph>(new CommitGraph());
  std::uint64_t total = 0;
  for (std::size_t k = 0; k < layers.size(); ++k) {
    Layer& layer = layers[k];
    // Each layer names the layers below it, in order.
    if (layer.base_count != k) return nullptr;
    for (std::size_t b = 0; b < k; ++b) {
      if (std::memcmp(layer.bases + 20 * b, layers[b].checksum.bytes.data(), 20) != 0) return nullptr;
    }
    layer.first = static_cast<std::uint32_t>(total);
    total += layer.count;
    if (total >= kNoParent) return nullptr;
  }
  graph->total_ = static_cast<std::uint32_t>(total);
  graph->layers_ = std::move(layers);
  return graph;
}

std::unique_ptr<CommitGraph> CommitGraph::parse(const std::vector<std::string_view>& bytes) {
  std::vector<Layer> layers;
  std::uint64_t total = 0;
  for (const std::string_view layer_bytes : bytes) {
    Layer layer;
    layer.data = reinterpret_cast<const std::uint8_t*>(layer_bytes.data());
    layer.size = layer_bytes.size();
    std::int64_t highest = -1;
    if (!locate(layer) || !verify(layer, highest)) return nullptr;
    total += layer.count;
    if (highest >= static_cast<std::int64_t>(total)) return nullptr;
    layers.push_back(layer);
  }
  return assemble(std::move(layers));
}

std::unique_ptr<CommitGraph> CommitGraph::open(const std::string& git_dir, const std::string& objects_dir) {
  if (history_is_rewritten(git_dir)) return nullptr;
  std::uint64_t total = 0;
  // Checked once per file, the outcome kept under its identity.
  auto load = [&total](const std::string& path, std::vector<Layer>& layers) {
    Layer layer;
    layer.file = map_file(path);
    if (layer.file == nullptr) return false;
    layer.data = layer.file->data();
    layer.size = layer.file->size();
    if (!locate(layer)) return false;
    std::shared_ptr<LayerCheck> check = checked_layers().find(layer.file->identity());
    if (check == nullptr) {
      auto made = std::make_shared<LayerCheck>();
      made->sound = verify(layer, made->highest_parent);
      check = checked_layers().keep(layer.file->identity(), std::move(made));
    }
    if (!check->sound) return false;
    total += layer.count;
    if (check->highest_parent >= static_cast<std::int64_t>(total)) return false;
    layers.push_back(std::move(layer));
    return true;
  };
  const std::string info = objects_dir + "/info";
  std::vector<Layer> layers;
  if (load(info + "/commit-graph", layers)) return assemble(std::move(layers));
  layers.clear();
  total = 0;
  platform::Buffer chain_file;
  if (platform::read_whole_file(info + "/commit-graphs/commit-graph-chain", chain_file) != 0) return nullptr;
  const std::string_view chain = chain_file.view();
  std::size_t at = 0;
  while (at < chain.size()) {
    std::size_t end = chain.find('\n', at);
    if (end == std::string::npos) end = chain.size();
    const std::string_view line = chain.substr(at, end - at);
    at = end + 1;
    const std::optional<ObjectId> hash = ObjectId::from_hex(line);
    if (!hash || hash->hex() != line) return nullptr;
    if (!load(info + "/commit-graphs/graph-" + std::string(line) + ".graph", layers)) return nullptr;
    // A layer is named after its checksum.
    if (layers.back().checksum != *hash) return nullptr;
  }
  if (layers.empty()) return nullptr;
  return assemble(std::move(layers));
}

std::optional<std::uint32_t> CommitGraph::find(const ObjectId& id) const {
  for (const Layer& layer : layers_) {
    const std::uint8_t first = id.bytes[0];
    std::uint32_t low = first == 0 ? 0 : read_be32(layer.fanout + 4 * (first - 1));
    std::uint32_t high = read_be32(layer.fanout + 4 * first);
    while (low < high) {
      const std::uint32_t middle = low + (high - low) / 2;
      const int order = std::memcmp(layer.ids + 20 * std::size_t{middle}, id.bytes.data(), 20);
      if (order == 0) return layer.first + middle;
      if (order < 0) {
        low = middle + 1;
      } else {
        high = middle;
      }
    }
  }
  return std::nullopt;
}

const CommitGraph::Layer& CommitGraph::layer_of(std::uint32_t position) const {
  for (std::size_t k = layers_.size(); k-- > 1;) {
    if (position >= layers_[k].first) return layers_[k];
  }
  return layers_[0];
}

ObjectId CommitGraph::id_at(std::uint32_t position) const {
  const Layer& layer = layer_of(position);
  return ObjectId::from_raw(layer.ids + 20 * std::size_t{position - layer.first});
}

void CommitGraph::parents(std::uint32_t position, std::vector<std::uint32_t>& out) const {
  const Layer& layer = layer_of(position);
  const std::uint8_t* row = layer.rows + 36 * std::size_t{position - layer.first};
  const std::uint32_t first = read_be32(row + 20);
  const std::uint32_t second = read_be32(row + 24);
  if (first == kNoParent) return;
  out.push_back(first);
  if (second == kNoParent) return;
  if ((second & 0x80000000u) == 0) {
    out.push_back(second);
    return;
  }
  for (std::size_t edge = second & 0x7fffffffu;; ++edge) {
    const std::uint32_t value = read_be32(layer.edges + 4 * edge);
    out.push_back(value & 0x7fffffffu);
    if (value & 0x80000000u) return;
  }
}

std::uint32_t CommitGraph::generation(std::uint32_t position) const {
  const Layer& layer = layer_of(position);
  return read_be32(layer.rows + 36 * std::size_t{position - layer.first} + 28) >> 2;
}

}  // namespace store
