// The refs that decorate commits: many commits from one `git log` run, or one
// commit from a scan of the repository's refs.
#include <algorithm>
#include <array>
#include <iterator>
#include <optional>
#include <string_view>
#include <utility>
#include <vector>

#include "core/git.h"
#include "core/ids.h"
#include "core/native_refs.h"
#include "core/native_road.h"
#include "refs/ref_names.h"
#include "refs/refs.h"
#include "store/commit_walk.h"

namespace refs {

namespace git = core::git;
using host::Text;
using store::ObjectId;

namespace {

const host::Interned kBranches{"branches"};
const host::Interned kRemoteBranches{"remote_branches"};
const host::Interned kTags{"tags"};
const host::Interned kIsHead{"is_head"};
const host::Interned kIsMerge{"is_merge"};
const host::Interned kMergeParents{"merge_parents"};

// A refs dictionary with its defaults, each list its own.
Ref new_refs_entry() {
  Ref entry = host::new_dict();
  host::set_item(entry.get(), kBranches, host::new_list().get());
  host::set_item(entry.get(), kRemoteBranches, host::new_list().get());
  host::set_item(entry.get(), kTags, host::new_list().get());
  host::set_item(entry.get(), kIsHead, Py_False);
  host::set_item(entry.get(), kIsMerge, Py_False);
  host::set_item(entry.get(), kMergeParents, host::new_list().get());
  return entry;
}

// entry[key].append(name) unless the list holds it already.
void add_name(PyObject* entry, const host::Interned& key, Text name) {
  Ref names = host::getitem(entry, key.get());
  Ref text = name.str();
  if (host::check(PySequence_Contains(names.get(), text.get())) == 0) host::append(names.get(), text.get());
}

// "tag:" in piece.lower()
bool mentions_tag(Text piece) {
  for (Py_ssize_t i = 0; i < piece.size(); ++i) {
    if (piece[i] >= 128) {
      Ref lowered = host::lower(piece.str().get());
      return Text(lowered.get()).contains("tag:");
    }
  }
  for (Py_ssize_t colon = piece.find(':'); colon != Text::npos; colon = piece.find(':', colon + 1)) {
    if (colon < 3) continue;
    auto lower = [&](Py_ssize_t i) { return piece[i] >= 'A' && piece[i] <= 'Z' ? piece[i] + 32 : piece[i]; };
    if (lower(colon - 3) == 't' && lower(colon - 2) == 'a' && lower(colon - 1) == 'g') return true;
  }
  return false;
}

// piece.replace("tag: ", "").strip() for a piece that starts with "tag: ".
Ref without_tag_markers(Text piece) {
  Text rest = piece.slice(5);
  if (!rest.contains("tag: ")) return rest.strip().str();
  static const host::Interned replace{"replace"};
  Ref marker = host::text("tag: ");
  Ref nothing = host::text("");
  Ref replaced = host::call_method(piece.str().get(), replace, {marker.get(), nothing.get()});
  return host::strip(replaced.get());
}

// Whether a piece of the decoration field is HEAD's own: "HEAD" on a detached
// HEAD, "HEAD -> main" on a branch. Every clone's "origin/HEAD", and names that
// merely hold the word ("fix-HEAD-parsing"), are not.
bool marks_head(Text piece) { return piece.equals("HEAD") || piece.starts_with("HEAD ->"); }

// Files one piece of git's decoration field ("HEAD -> main", "origin/main",
// "tag: v1", ...) under the first rule that fits it.
void file_decoration(PyObject* entry, Text piece) {
  if (piece.contains("HEAD ->")) {
    Text branch = piece.slice(host::rfind(piece, "->") + 2).strip();
    if (!branch.empty()) add_name(entry, kBranches, branch);
  } else if (piece.starts_with("tag: ")) {
    Ref tag = without_tag_markers(piece);
    Text tag_text(tag.get());
    if (!tag_text.empty()) add_name(entry, kTags, tag_text);
  } else if (mentions_tag(piece)) {
    const Py_ssize_t colon = piece.find(':');
    if (colon == Text::npos) return;
    Text tag = piece.slice(colon + 1).strip();
    if (!tag.empty()) add_name(entry, kTags, tag);
  } else if (piece.contains("/") && !piece.starts_with("tag:")) {
    // A local branch with a slash in its name lands here too.
    add_name(entry, kRemoteBranches, piece);
  } else if (!piece.starts_with("HEAD")) {
    add_name(entry, kBranches, piece);
  }
}

// The parent ids of a `%P` field (split on whitespace), as a new list.
Ref split_parents(Text parents) {
  Ref ids = host::new_list();
  Py_ssize_t i = 0;
  while (i < parents.size()) {
    while (i < parents.size() && host::is_space(parents[i])) ++i;
    const Py_ssize_t start = i;
    while (i < parents.size() && !host::is_space(parents[i])) ++i;
    if (i > start) host::append(ids.get(), parents.slice(start, i).str().get());
  }
  return ids;
}

// The library's merge check: a commit with more than one parent is a merge,
// and its parents are listed unless git listed them already. Failures leave
// the entry as it is.
void check_merge(PyObject* repo, PyObject* entry, PyObject* raw_id, bool keep_listed_parents, core::IdFormat& format) {
  static const host::Interned parents_name{"parents"};
  try {
    Ref commit = host::getitem(repo, raw_id);
    Ref parents = host::getattr(commit.get(), parents_name);
    if (host::length(parents.get()) <= 1) return;
    host::set_item(entry, kIsMerge, Py_True);
    if (keep_listed_parents && host::length(host::getitem(entry, kMergeParents.get()).get()) != 0) return;
    host::set_item(entry, kMergeParents, parent_ids(parents.get(), format).get());
  } catch (const host::Error&) {
    host::except_exception();
  }
}

// The merge check read through the store: false when it leaves the check to
// the library (no native road, an id that is not the format's raw bytes, a
// commit the store declines); otherwise the entry is updated as the
// library's check would update it.
bool check_merge_in_store(core::NativeStore& objects, PyObject* entry, PyObject* raw_id, bool keep_listed_parents) {
  if (!objects || !PyBytes_CheckExact(raw_id)) return false;
  const store::HashFormat format = objects.format();
  if (static_cast<std::size_t>(PyBytes_GET_SIZE(raw_id)) != store::id_size(format)) return false;
  const ObjectId id = ObjectId::from_raw(reinterpret_cast<const std::uint8_t*>(PyBytes_AS_STRING(raw_id)), format);
  std::vector<ObjectId> parents;
  const store::Outcome read = core::without_gil([&] { return store::read_parents(objects.get(), id, parents); });
  if (read != store::Outcome::Found) return false;
  if (parents.size() <= 1) return true;
  host::set_item(entry, kIsMerge, Py_True);
  if (keep_listed_parents && host::length(host::getitem(entry, kMergeParents.get()).get()) != 0) return true;
  Ref texts = host::new_list();
  for (const ObjectId& parent : parents) host::append(texts.get(), host::text(parent.hex()).get());
  host::set_item(entry, kMergeParents, texts.get());
  return true;
}

// The id text of the commit HEAD resolves to (null when it resolves to none).
// git 2.38 and later leave HEAD out of the decoration field once
// --decorate-refs filters are given, so the field alone cannot mark it.
Ref head_commit_id(Service& self, core::IdFormat& format) {
  try {
    Ref head = host::bytes("HEAD");
    Ref id = core::NativeRefs(self).get(head.get());
    if (!PyBytes_Check(id.get())) return Ref();
    return host::lower(core::id_text(id.get(), format).get());
  } catch (const host::Error&) {
    host::except_exception();
  }
  return Ref();
}

// The fields of one log line that the labels use, NUL-separated in git's
// output: the commit id, the decorations and the parent ids.
struct LogLine {
  Text id;
  Text decorations;
  Text parents;
};

// The fields of `line`, or nothing when it has fewer than three.
std::optional<LogLine> read_log_line(Text line) {
  const Py_ssize_t first = line.find(Py_UCS4{0});
  if (first == Text::npos) return std::nullopt;
  const Py_ssize_t second = line.find(Py_UCS4{0}, first + 1);
  if (second == Text::npos) return std::nullopt;
  const Py_ssize_t third = line.find(Py_UCS4{0}, second + 1);
  return LogLine{line.slice(0, first), line.slice(first + 1, second),
                 line.slice(second + 1, third == Text::npos ? line.size() : third)};
}

// Labels the entry of one log line's commit, when the caller asked for it.
// `lookup` maps lower-cased ids to entries; `head_id` is HEAD's commit or null.
void label_line(PyObject* repo, core::NativeStore& objects, core::IdFormat& format, PyObject* lookup, PyObject* head_id,
                Text line) {
  std::optional<LogLine> fields = read_log_line(line);
  if (!fields) return;
  Ref id = fields->id.strip().lower();
  PyObject* entry = PyDict_GetItemWithError(lookup, id.get());
  if (entry == nullptr) {
    if (PyErr_Occurred()) throw host::Error{};
    return;
  }
  Ref held = Ref::borrow(entry);
  Text decorations = fields->decorations.strip();
  Text parents = fields->parents.strip();

  bool is_head = head_id != nullptr && host::equal(id.get(), head_id);
  decorations.split(',', [&](Text piece) {
    Text stripped = piece.strip();
    if (stripped.empty()) return;
    is_head = is_head || marks_head(stripped);
    file_decoration(entry, stripped);
  });
  if (is_head) host::set_item(entry, kIsHead, Py_True);
  if (!parents.empty()) {
    Ref ids = split_parents(parents);
    if (host::length(ids.get()) > 1) {
      host::set_item(entry, kIsMerge, Py_True);
      host::set_item(entry, kMergeParents, ids.get());
    }
  }
  Ref raw_id;
  try {
    raw_id = from_hex(id.get());
  } catch (const host::Error&) {
    host::except_exception();
    return;
  }
  if (!check_merge_in_store(objects, entry, raw_id.get(), true)) check_merge(repo, entry, raw_id.get(), true, format);
}

// The git log run and its parse, in the repository root.
void label_from_log(Service& self, const git::Runner& git_runner, PyObject* branch, PyObject* commit_shas,
                    PyObject* result) {
  git::Command command{"log"};
  command.value(branch).word(Ref::check(PyUnicode_FromFormat("--max-count=%zd", PyList_GET_SIZE(commit_shas))));
  for (const char* word : {"--oneline", "--pretty=format:%H%x00%D%x00%P%x00%s", "--decorate-refs=refs/heads/*",
                           "--decorate-refs=refs/remotes/*", "--decorate-refs=refs/tags/*"}) {
    command.word(host::text(word));
  }
  git::Result run = git_runner.run(command, git::Limit::DecorationLog);
  if (!run.ok()) return;

  // The first key, in the caller's order, of each lower-cased id.
  Ref lookup = host::new_dict();
  PyObject* key = nullptr;
  PyObject* entry = nullptr;
  for (Py_ssize_t position = 0; PyDict_Next(result, &position, &key, &entry);) {
    Ref held_key = Ref::borrow(key);
    Ref held_entry = Ref::borrow(entry);
    Ref lowered = host::lower(held_key.get());
    if (PyDict_SetDefault(lookup.get(), lowered.get(), held_entry.get()) == nullptr) throw host::Error{};
  }

  Ref repo = self.repo();
  core::IdFormat format(self);
  Ref head_id = head_commit_id(self, format);
  core::NativeStore objects(core::native_road(self));
  Ref output = host::strip(run.stdout_().get());
  Text(output.get()).split('\n', [&](Text line) {
    if (!line.empty()) label_line(repo.get(), objects, format, lookup.get(), head_id.get(), line);
  });
}

// The names under `prefix` whose ref points at the commit `raw_id`.
void scan_refs(PyObject* repo, std::string_view prefix, PyObject* names, PyObject* raw_id, core::IdFormat& format);

}  // namespace

Ref get_commit_refs_from_git_log(Service& self, PyObject* branch, PyObject* commit_shas) {
  const git::Runner git_runner(self);
  Ref os = host::import("os");
  if (commit_shas == Py_None || PyList_GET_SIZE(commit_shas) == 0) return host::new_dict();
  Ref result = host::new_dict();
  host::for_each(commit_shas, [&](PyObject* sha) { host::set_item(result.get(), sha, new_refs_entry().get()); });
  try {
    Ref root = self.cwd();
    git::in_directory(os.get(), root.get(),
                      [&] { label_from_log(self, git_runner, branch, commit_shas, result.get()); });
  } catch (const host::Error&) {
    host::except_exception();
  }
  return result;
}

namespace {

// Whether a ref's target (its hexadecimal digits as bytes, 40 or, in a
// SHA-256 repository, 64; or a raw id) names the object `raw_id`, whatever
// the case of its digits.
bool names_object(PyObject* target, PyObject* raw_id, core::IdFormat& format) {
  if (!PyBytes_Check(target)) {
    host::raise_format(PyExc_TypeError, "expected a bytes id, got %.200s", Py_TYPE(target)->tp_name);
  }
  if (format.hex_size(PyBytes_GET_SIZE(target))) {
    Ref digits = Ref::check(PyUnicode_DecodeLatin1(PyBytes_AS_STRING(target), PyBytes_GET_SIZE(target), nullptr));
    Ref raw = Ref();
    try {
      raw = from_hex(digits.get());
    } catch (const host::Error&) {
      host::except({PyExc_ValueError});
      return false;
    }
    return host::equal(raw.get(), raw_id);
  }
  return host::equal(target, raw_id);
}

void scan_refs(PyObject* repo, std::string_view prefix, PyObject* names, PyObject* raw_id, core::IdFormat& format) {
  static const host::Interned refs_name{"refs"};
  static const host::Interned keys_name{"keys"};
  try {
    Ref container = host::getattr(repo, refs_name);
    Ref keys = host::call_method(container.get(), keys_name, {});
    host::for_each(keys.get(), [&](PyObject* name) {
      if (!has_prefix(name, prefix)) return;
      try {
        Ref target = host::getitem(container.get(), name);
        if (names_object(target.get(), raw_id, format)) {
          host::append(names, decode_after(name, static_cast<Py_ssize_t>(prefix.size())).get());
        }
      } catch (const host::Error&) {
        host::except_key_attribute_or_type_error();
      }
    });
  } catch (const host::Error&) {
    host::except_exception();
  }
}

// The three scans: the refs under each prefix, and the entry's list their names go to.
const std::pair<std::string_view, const host::Interned*> kScans[] = {
    {"refs/heads/", &kBranches}, {"refs/remotes/", &kRemoteBranches}, {"refs/tags/", &kTags}};

// The three scans read natively, each list in the order of the names (the
// container's keys() has no order of its own): false when they are left to
// the library (the road is closed, the id is neither 20 nor 32 bytes, a ref
// is not ours to read), nothing added then.
bool scan_refs_natively(Service& self, PyObject* entry, PyObject* raw_id) {
  // A SHA-1 id, or a SHA-256 one: refs are read as text, whatever the
  // repository's format.
  if (!PyBytes_CheckExact(raw_id)) return false;
  const std::string_view raw = host::bytes_view(raw_id);
  if (raw.size() != store::id_size(store::HashFormat::Sha1) && raw.size() != store::id_size(store::HashFormat::Sha256))
    return false;
  std::string hex;
  for (const char byte : raw) {
    static constexpr char kDigits[] = "0123456789abcdef";
    hex += kDigits[static_cast<unsigned char>(byte) >> 4];
    hex += kDigits[static_cast<unsigned char>(byte) & 0xf];
  }
  std::optional<core::NativeRefs> refs;
  try {
    refs.emplace(self);
  } catch (const host::Error&) {
    host::except_exception();
    return false;
  }
  std::array<std::vector<core::ListedRef>, std::size(kScans)> found;
  for (std::size_t i = 0; i < std::size(kScans); ++i) {
    std::optional<std::vector<core::ListedRef>> listed = refs->list(kScans[i].first, hex);
    if (!listed) return false;
    found[i] = std::move(*listed);
  }
  for (std::size_t i = 0; i < std::size(kScans); ++i) {
    const auto [prefix, key] = kScans[i];
    std::sort(found[i].begin(), found[i].end(),
              [](const core::ListedRef& a, const core::ListedRef& b) { return a.name < b.name; });
    Ref names = host::getitem(entry, key->get());
    for (const core::ListedRef& ref : found[i]) {
      host::append(names.get(), host::decode_utf8_replace(std::string_view(ref.name).substr(prefix.size())).get());
    }
  }
  return true;
}

}  // namespace

Ref get_commit_refs(Service& self, PyObject* commit_sha) {
  Ref entry = new_refs_entry();
  Ref raw_id = from_hex(commit_sha);
  Ref repo = self.repo();
  core::IdFormat format(self);
  if (!scan_refs_natively(self, entry.get(), raw_id.get())) {
    for (const auto& [prefix, key] : kScans) {
      scan_refs(repo.get(), prefix, host::getitem(entry.get(), key->get()).get(), raw_id.get(), format);
    }
  }
  core::NativeStore objects(core::native_road(self));
  if (!check_merge_in_store(objects, entry.get(), raw_id.get(), false))
    check_merge(repo.get(), entry.get(), raw_id.get(), false, format);
  return entry;
}

}  // namespace refs
