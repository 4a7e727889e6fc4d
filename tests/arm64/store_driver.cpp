// store_driver: the object store read from the command line, without
// CPython, so that the store can be run where no interpreter of ours runs
// (an ARM64 build under emulation, a musl build, a Windows build under Wine).
// It prints what it read in the shapes git prints the same things, for a
// byte-for-byte comparison with git's answers (tests/arm64/check_store.py).
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
//   store_driver DIR files             every file below DIR through the file layer,
//                                      one line each in name order:
//                                      "<path>\t<kind>\t<size>\t<blob id or link
//                                      target>\t<first path of the same identity>";
//                                      each file is read, mapped and opened inside
//                                      its directory, and every way must agree
//                                      ("fault: ..." lines where one does not)
//
// The repository's object format is SHA-256 where GIT_DIR/config says
// `objectformat = sha256`, else SHA-1.
//
// An object the store does not read prints as git prints a missing one
// ("<id> missing"); a walk or count that declined prints "declined". Exit
// status 2 for a usage error.
#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#if defined(_WIN32)
#include <fcntl.h>
#include <io.h>
#define WIN32_LEAN_AND_MEAN
#include <windows.h>
// After windows.h, which it needs.
#include <shellapi.h>
#endif

#include "platform/files.h"
#include "store/commit_graph.h"
#include "store/commit_walk.h"
#include "store/index_file.h"
#include "store/object_hash.h"
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
    if (objects.read(id, type, content) != store::Outcome::Found) {
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
    if (store::read_parents(objects, id, found) != store::Outcome::Found) {
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
  std::vector<store::GraphPosition> parents;
  ObjectId id, parent_id;
  for (std::uint32_t i = 0; i < commits->size(); ++i) {
    const store::GraphPosition position(i);
    parents.clear();
    if (!commits->id_at(position, id) || !commits->parents(position, parents)) {
      write("row " + std::to_string(i) + " unreadable\n");
      continue;
    }
    std::string line = id.hex() + " " + std::to_string(commits->generation(position));
    for (const store::GraphPosition parent : parents) {
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

// --- The file layer itself: `files`.

struct FileRow {
  std::string path;  // below the root, "/"-separated
  platform::FileInfo info;
};

void fault(const std::string& path, const std::string& what) { write("fault: " + path + ": " + what + "\n"); }

std::string blob_id(const platform::Buffer& content) {
  return store::object_id(store::HashFormat::Sha1, store::ObjectType::Blob, content.data(), content.size()).hex();
}

bool same_content(const platform::Buffer& a, const std::uint8_t* data, std::size_t size) {
  return a.size() == size && (size == 0 || std::memcmp(a.data(), data, size) == 0);
}

// A regular file read three ways (whole, mapped, opened inside its directory
// without following a link), which must agree in content and identity.
std::string read_regular(const std::string& path, const platform::File& directory, const std::string& name,
                         const platform::FileInfo& info) {
  platform::Buffer whole, inside;
  platform::FileInfo read_info, inside_info;
  if (const int error = platform::read_whole_file(path, whole, read_info)) {
    fault(path, "read_whole_file: " + std::to_string(error));
    return "-";
  }
  const auto mapping = platform::Mapping::map(path);
  if (mapping == nullptr) {
    fault(path, "not mapped");
  } else if (!same_content(whole, mapping->data(), mapping->size())) {
    fault(path, "mapped content differs");
  } else if (!(mapping->identity() == info.identity)) {
    fault(path, "mapping's identity differs");
  }
  if (!(read_info.identity == info.identity)) fault(path, "read file's identity differs");
  platform::File file;
  if (const int error = platform::File::open_in(directory, name.c_str(), platform::LastLink::Refuse, file)) {
    fault(path, "open_in: " + std::to_string(error));
  } else if (file.info(inside_info) != 0 || !(inside_info.identity == info.identity)) {
    fault(path, "opened file's identity differs");
  } else if (file.read_to_end(inside, static_cast<std::size_t>(inside_info.identity.size)) != 0 ||
             !same_content(whole, inside.data(), inside.size())) {
    fault(path, "content read inside its directory differs");
  }
  return blob_id(whole);
}

std::string read_symbolic_link(const std::string& path, const platform::File& directory, const std::string& name) {
  platform::File file;
  const int error = platform::File::open_in(directory, name.c_str(), platform::LastLink::Refuse, file);
  if (error != ELOOP) fault(path, "open_in of a link without following it: " + std::to_string(error));
  if (platform::File::open(path, platform::LastLink::Refuse, file) != ELOOP) fault(path, "open of a link: not ELOOP");
  platform::Buffer target;
  if (platform::read_link(path, target) != 0) {
    fault(path, "read_link failed");
    return "-";
  }
  return std::string(target.view());
}

const char* kind_name(platform::FileKind kind) {
  switch (kind) {
    case platform::FileKind::Regular:
      return "file";
    case platform::FileKind::Directory:
      return "directory";
    case platform::FileKind::Link:
      return "link";
    case platform::FileKind::Other:
      return "other";
    default:
      return "unknown";
  }
}

void list_files(const std::string& root, const std::string& below, std::vector<FileRow>& rows) {
  const std::string directory_path = below.empty() ? root : root + "/" + below;
  std::vector<platform::DirectoryEntry> entries;
  if (const int error = platform::list_directory(directory_path, entries)) {
    fault(directory_path, "list_directory: " + std::to_string(error));
    return;
  }
  std::sort(entries.begin(), entries.end(), [](const auto& a, const auto& b) { return a.name < b.name; });
  platform::File directory;
  if (platform::File::open_directory(directory_path, directory) != 0) fault(directory_path, "open_directory failed");
  for (const platform::DirectoryEntry& entry : entries) {
    const std::string path = directory_path + "/" + entry.name;
    const std::string relative = below.empty() ? entry.name : below + "/" + entry.name;
    platform::FileInfo info, inside;
    if (const int error = platform::file_info(path, false, info)) {
      fault(relative, "file_info: " + std::to_string(error));
      continue;
    }
    if (entry.kind != platform::FileKind::Unknown && entry.kind != info.kind) fault(relative, "listed as another kind");
    if (directory.info_of(entry.name.c_str(), inside) != 0 || !(inside.identity == info.identity) ||
        inside.kind != info.kind) {
      fault(relative, "info_of inside its directory differs");
    }
    rows.push_back({relative, info});
    std::string size = std::to_string(info.identity.size), what = "-";
    if (info.kind == platform::FileKind::Regular) {
      what = read_regular(path, directory, entry.name, info);
    } else if (info.kind == platform::FileKind::Link) {
      what = read_symbolic_link(path, directory, entry.name);
      size = "-";
    } else {
      size = "-";
    }
    std::string same = "-";
    for (const FileRow& row : rows) {
      if (&row != &rows.back() && row.info.identity.device == info.identity.device &&
          row.info.identity.inode == info.identity.inode) {
        same = row.path;
        break;
      }
    }
    write(relative + "\t" + kind_name(info.kind) + "\t" + size + "\t" + what + "\t" + same + "\n");
    if (info.kind == platform::FileKind::Directory) {
      platform::Buffer content;
      if (platform::read_whole_file(path, content) != EISDIR) fault(relative, "a directory read as a file");
      list_files(root, relative, rows);
    }
  }
}

// What must fail, and how: a missing file, a listing of a file.
void absent_ones(const std::string& root, const std::vector<FileRow>& rows) {
  platform::FileInfo info;
  platform::Buffer content;
  const std::string missing = root + "/no such file";
  if (!platform::means_absent(platform::file_info(missing, true, info))) fault(missing, "file_info: not absent");
  if (platform::read_whole_file(missing, content) != ENOENT) fault(missing, "read_whole_file: not ENOENT");
  if (platform::Mapping::map(missing) != nullptr) fault(missing, "mapped");
  if (!platform::means_absent(platform::file_info(missing + "/below", true, info))) {
    fault(missing, "a path below it: not absent");
  }
  std::vector<platform::DirectoryEntry> entries;
  for (const FileRow& row : rows) {
    if (row.info.kind != platform::FileKind::Regular) continue;
    const std::string path = root + "/" + row.path;
    if (platform::list_directory(path, entries) != ENOTDIR) fault(row.path, "listed as a directory: not ENOTDIR");
    if (!platform::means_absent(platform::file_info(path + "/below", true, info))) {
      fault(row.path, "a path below a file: not absent");
    }
    break;
  }
}

int files(const std::string& root) {
  std::vector<FileRow> rows;
  list_files(root, "", rows);
  absent_ones(root, rows);
  return 0;
}

int usage() {
  std::fputs(
      "usage: store_driver GIT_DIR cat|parents|graph|index | walk HEAD | count HEAD [BASE] | tree TREE\n"
      "       store_driver DIR files\n",
      stderr);
  return 2;
}

int run(int argc, char** argv) {
  if (argc < 3) return usage();
  const std::string git_dir = argv[1], command = argv[2];
  if (argc == 3 && command == "files") return files(git_dir);
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

#if defined(_WIN32)
// Windows gives main its arguments in the ANSI code page, and opens the
// standard streams in text mode (which writes "\r\n" for "\n"): the
// arguments are taken as UTF-16 and passed on in UTF-8, as the file layer
// takes paths, and the streams carry bytes.
int main() {
  _setmode(_fileno(stdin), _O_BINARY);
  _setmode(_fileno(stdout), _O_BINARY);
  int argc = 0;
  wchar_t** wide = ::CommandLineToArgvW(::GetCommandLineW(), &argc);
  if (wide == nullptr) return 2;
  std::vector<std::string> arguments;
  std::vector<char*> argv;
  for (int i = 0; i < argc; ++i) {
    const int size = ::WideCharToMultiByte(CP_UTF8, 0, wide[i], -1, nullptr, 0, nullptr, nullptr);
    std::string text(size > 0 ? static_cast<std::size_t>(size) : 1, '\0');
    if (size > 0) ::WideCharToMultiByte(CP_UTF8, 0, wide[i], -1, text.data(), size, nullptr, nullptr);
    arguments.push_back(text.c_str());
  }
  ::LocalFree(wide);
  for (std::string& argument : arguments) argv.push_back(argument.data());
  const int status = run(argc, argv.data());
  return std::fflush(stdout) == 0 ? status : 1;
}
#else
int main(int argc, char** argv) {
  const int status = run(argc, argv);
  return std::fflush(stdout) == 0 ? status : 1;
}
#endif
