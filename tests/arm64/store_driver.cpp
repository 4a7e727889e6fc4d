// store_driver: the object store read from the command line, without
// CPython, so that the store can be run where no interpreter of ours runs
// (an ARM64 build under emulation). It prints what it read in the shapes git
// prints the same things, for a byte-for-byte comparison with git's answers
// (tests/arm64/check_store.py).
//
//   store_driver GIT_DIR cat           ids on stdin; `git cat-file --batch`'s output
//   store_driver GIT_DIR parents       ids on stdin; "<id> <parent>..." per commit
//                                      (`git rev-list --parents`), from the
//                                      commit-graph where it holds the commit
//   store_driver GIT_DIR walk HEAD     the walk from HEAD in its order, each commit
//                                      read: "<id> <tree> <commit time> <parent>..."
//   store_driver GIT_DIR count HEAD [BASE]
//                                      commits reachable from HEAD and not from BASE
//   store_driver GIT_DIR graph         the commit-graph: "<size> levels agree", then
//                                      per position "<id> <generation> <parent id>..."
//   store_driver GIT_DIR tree TREE     the flattened tree: "<mode> <id>\t<path>\0"
//                                      (`git ls-tree -r -z`'s fields)
//   store_driver GIT_DIR index         GIT_DIR/index: "<mode> <id> 0\t<path>\0"
//                                      (`git ls-files --stage -z`)
//
// The repository's object format is SHA-256 where GIT_DIR/config says
// `objectformat = sha256`, else SHA-1.
//
// An object the store does not read prints as git prints a missing one
// ("<id> missing"); a walk or count that declined prints "declined". Exit
// status 2 for a usage error.
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "store/commit_graph.h"
#include "store/commit_walk.h"
#include "store/index_file.h"
#include "store/object_store.h"
#include "store/objects.h"

namespace {

using store::ObjectId;

void write(std::string_view text) { std::fwrite(text.data(), 1, text.size(), stdout); }

store::HashFormat format_of(const std::string& git_dir) {
  std::ifstream config(git_dir + "/config");
  std::stringstream text;
  text << config.rdbuf();
  return text.str().find("objectformat = sha256") != std::string::npos ? store::HashFormat::Sha256
                                                                       : store::HashFormat::Sha1;
}

std::optional<ObjectId> id_argument(const char* text) {
  const auto id = ObjectId::from_hex(text);
  if (!id) std::fprintf(stderr, "store_driver: not an id: %s\n", text);
  return id;
}

std::vector<ObjectId> ids_on_stdin() {
  std::vector<ObjectId> ids;
  std::string line;
  while (std::getline(std::cin, line)) {
    if (const auto id = ObjectId::from_hex(line)) ids.push_back(*id);
  }
  return ids;
}

int cat(store::ObjectStore& objects) {
  store::ObjectType type;
  store::Buffer content;
  for (const ObjectId& id : ids_on_stdin()) {
    if (objects.read(id, type, content) != store::Read::Found) {
      write(id.hex() + " missing\n");
      continue;
    }
    write(id.hex() + " " + std::string(store::type_name(type)) + " " + std::to_string(content.size()) + "\n");
    write(content.view());
    write("\n");
  }
  return 0;
}

int parents(store::ObjectStore& objects) {
  std::vector<ObjectId> found;
  for (const ObjectId& id : ids_on_stdin()) {
    found.clear();
    if (store::read_parents(objects, id, found) != store::ParentsRead::Commit) {
      write(id.hex() + " declined\n");
      continue;
    }
    std::string line = id.hex();
    for (const ObjectId& parent : found) line += " " + parent.hex();
    write(line + "\n");
  }
  return 0;
}

int walk(store::ObjectStore& objects, const ObjectId& head) {
  store::CommitWalk commits(objects, head, -1, store::CommitWalk::Reads::Fields);
  store::CommitRef commit;
  store::Step step;
  while ((step = commits.next(commit)) == store::Step::Commit) {
    const store::Commit& fields = commits.fields();
    std::string line = commit.id.hex() + " " + std::string(fields.tree_hex) + " " +
                       (fields.commit_time ? std::to_string(*fields.commit_time) : std::string("None"));
    for (std::size_t i = 0; i < fields.parent_count(); ++i) line += " " + std::string(fields.parent_hex(i));
    write(line + "\n");
  }
  if (step == store::Step::Declined) write("declined\n");
  return 0;
}

int count(store::ObjectStore& objects, const ObjectId& head, const std::optional<ObjectId>& base) {
  const auto counted = store::count_reachable(objects, head, base);
  write(counted ? std::to_string(*counted) + "\n" : std::string("declined\n"));
  return 0;
}

int graph(store::ObjectStore& objects) {
  const store::CommitGraph* commits = objects.commit_graph();
  if (commits == nullptr) {
    write("none\n");
    return 0;
  }
  write(std::to_string(commits->size()) + (commits->levels_agree() ? " levels agree\n" : " levels disagree\n"));
  std::vector<std::uint32_t> positions;
  ObjectId id, parent_id;
  for (std::uint32_t position = 0; position < commits->size(); ++position) {
    positions.clear();
    if (!commits->id_at(position, id) || !commits->parents(position, positions)) {
      write("row " + std::to_string(position) + " unreadable\n");
      continue;
    }
    std::string line = id.hex() + " " + std::to_string(commits->generation(position));
    for (std::uint32_t parent : positions) {
      line += " " + (commits->id_at(parent, parent_id) ? parent_id.hex() : std::string("unreadable"));
    }
    write(line + "\n");
  }
  return 0;
}

std::string octal(std::uint32_t mode) {
  char text[16];
  std::snprintf(text, sizeof text, "%06o", static_cast<unsigned>(mode));
  return text;
}

int tree(store::ObjectStore& objects, const ObjectId& root) {
  const bool complete =
      store::flatten_tree(objects, root, [](std::string_view path, std::uint32_t mode, const ObjectId& id) {
        write(octal(mode) + " " + id.hex() + "\t");
        write(path);
        write(std::string_view("\0", 1));
      });
  if (!complete) write("declined\n");
  return 0;
}

int index(const std::string& git_dir) {
  store::IndexContents contents;
  if (store::read_index(git_dir + "/index", format_of(git_dir), contents) != store::IndexRead::Read) {
    write("declined\n");
    return 0;
  }
  for (const store::IndexEntry& entry : contents.entries) {
    write(octal(entry.mode) + " " + (entry.conflicted ? std::string("conflicted") : entry.id.hex()) + " 0\t");
    write(contents.path(entry));
    write(std::string_view("\0", 1));
  }
  return 0;
}

int usage() {
  std::fputs("usage: store_driver GIT_DIR cat|parents|graph|index | walk HEAD | count HEAD [BASE] | tree TREE\n",
             stderr);
  return 2;
}

int run(int argc, char** argv) {
  if (argc < 3) return usage();
  const std::string git_dir = argv[1], command = argv[2];
  store::ObjectStore objects(git_dir, git_dir + "/objects", format_of(git_dir));
  if (argc == 3 && command == "cat") return cat(objects);
  if (argc == 3 && command == "parents") return parents(objects);
  if (argc == 3 && command == "graph") return graph(objects);
  if (argc == 3 && command == "index") return index(git_dir);
  if (argc < 4) return usage();
  const auto first = id_argument(argv[3]);
  if (!first) return 2;
  if (argc == 4 && command == "walk") return walk(objects, *first);
  if (argc == 4 && command == "tree") return tree(objects, *first);
  if (command == "count" && argc <= 5) {
    std::optional<ObjectId> base;
    if (argc == 5 && !(base = id_argument(argv[4]))) return 2;
    return count(objects, *first, base);
  }
  return usage();
}

}  // namespace

int main(int argc, char** argv) {
  const int status = run(argc, argv);
  return std::fflush(stdout) == 0 ? status : 1;
}
