// A libFuzzer harness over the object store's parsers (`make libfuzzer`).
// The first byte picks a parser and the object format (SHA-1 or SHA-256);
// the rest is its input.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>
#include <vector>

#include "store/commit_graph.h"
#include "store/index_file.h"
#include "store/objects.h"
#include "store/pack.h"
#include "store/packed_refs.h"
#include "store/reftable.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const int which = data[0] % 10;
  const store::HashFormat format = data[0] / 10 % 2 == 0 ? store::HashFormat::Sha1 : store::HashFormat::Sha256;
  const std::size_t trailer = store::pack_trailer_size(format);
  ++data;
  --size;
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  switch (which) {
    case 0: {  // a pack entry and its zlib stream
      std::vector<std::uint8_t> pack(12 + size + trailer, 0);
      std::memcpy(pack.data(), "PACK\0\0\0\2\0\0\0\1", 12);
      if (size != 0) std::memcpy(pack.data() + 12, data, size);
      store::PackEntry entry;
      if (store::parse_pack_entry(pack.data(), pack.size(), format, 12, entry)) {
        store::Inflater inflater;
        store::Buffer out;
        out.resize(static_cast<std::size_t>(entry.size) + store::kInflateSlack);
        inflater.inflate_exact(pack.data() + entry.data, pack.size() - trailer - entry.data, out.data(),
                               static_cast<std::size_t>(entry.size));
      }
      break;
    }
    case 1: {  // a delta against a base: the first byte says how long the base is
      const std::size_t split = size == 0 ? 0 : data[0] % size;
      store::Buffer result;
      store::apply_delta(data, split, data + split, size - split, result);
      break;
    }
    case 2:
      store::parse_commit(text, format);
      break;
    case 3: {
      std::vector<store::TreeEntry> entries;
      store::parse_tree(text, format, entries);
      break;
    }
    case 4:
      store::plain_tag(text, format);
      break;
    case 5: {
      store::IndexContents contents;
      store::parse_index(text, format, contents);
      break;
    }
    case 6: {  // a commit-graph: every position it hands out must be readable
      const auto graph = store::CommitGraph::parse({text}, format);
      if (graph != nullptr) {
        std::vector<store::GraphPosition> parents;
        for (std::uint32_t i = 0; i < graph->size(); ++i) {
          const store::GraphPosition position(i);
          store::ObjectId id;
          if (graph->id_at(position, id)) graph->find(id);
          parents.clear();
          graph->parents(position, parents);
          graph->generation(position);
        }
        graph->levels_agree();
      }
      break;
    }
    case 7: {  // a loose object's zlib stream
      store::Inflater inflater;
      store::Buffer out;
      std::size_t consumed = 0;
      inflater.inflate_all(data, size, out, 1 << 20, consumed);
      break;
    }
    case 8: {  // a packed-refs file: every name it lists can be found again
      const store::PackedRefsShape shape = store::check_packed_refs(text);
      if (shape.plain) {
        const store::PackedRefs refs(text, shape);
        refs.for_each("", [&](std::string_view name, std::string_view) {
          std::string_view hex;
          if (refs.find(name, hex) != store::Outcome::Found) __builtin_trap();
        });
      }
      break;
    }
    case 9: {  // a reftable, read git's way and dulwich's: names ascend strictly
      store::Reftable table;
      if (store::read_reftable(text, table) == store::Outcome::Found) {
        for (std::size_t i = 1; i < table.refs.size(); ++i) {
          if (!(table.refs[i - 1].name < table.refs[i].name)) __builtin_trap();
        }
      }
      store::DulwichReftable replay;
      store::read_reftable_as_dulwich(text, replay);
      break;
    }
  }
  return 0;
}
