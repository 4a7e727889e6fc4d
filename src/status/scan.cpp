// The fallback scan: the index compared with HEAD, then the working tree
// walked and compared with both, without git. Its passes are in the files
// scan_index (the index and HEAD), scan_hashing (the indexed files hashed
// ahead), scan_walk (the tree walk) and scan_records (the records).
#include "status/scan.h"

#include "status/scan_context.h"
#include "status/scan_hashing.h"
#include "status/scan_index.h"
#include "status/scan_records.h"
#include "status/scan_walk.h"

namespace status {

namespace {

// The scan's native road: the repository is the library's, and so are the
// methods it reaches through self (the HEAD file map and the ignore tests).
std::optional<core::ObjectDatabase> scan_road(Service& self) {
  static const host::Interned build_head_file_map{"_build_head_file_map"};
  static const host::Interned compile_gitignore_patterns{"_compile_gitignore_patterns"};
  static const host::Interned is_path_ignored{"_is_path_ignored"};
  static const host::Interned is_directory_ignored{"_is_directory_ignored"};
  return core::native_road(
      self, {&build_head_file_map, &compile_gitignore_patterns, &is_path_ignored, &is_directory_ignored});
}

// Whether the host decodes file names as UTF-8 with surrogateescape, the
// decoding whose keys are the names' own bytes.
bool file_names_are_utf8() {
  static const host::Interned encoding{"getfilesystemencoding"};
  static const host::Interned errors{"getfilesystemencodeerrors"};
  Ref sys = host::import("sys");
  Ref fs_encoding = host::call_method(sys.get(), encoding, {});
  Ref fs_errors = host::call_method(sys.get(), errors, {});
  return PyUnicode_Check(fs_encoding.get()) && PyUnicode_Check(fs_errors.get()) &&
         PyUnicode_CompareWithASCIIString(fs_encoding.get(), "utf-8") == 0 &&
         PyUnicode_CompareWithASCIIString(fs_errors.get(), "surrogateescape") == 0;
}

}  // namespace

ScanContext::ScanContext(Service& self, Ref blob_class)
    : self(self),
      object(Ref::borrow(self.object())),
      blob_class(std::move(blob_class)),
      objects(scan_road(self)),
      native_blobs(objects && core::is_library_class(this->blob_class.get(), "dulwich.objects", "Blob")),
      root(core::file_system_bytes(self.cwd().get())),
      fs_utf8(file_names_are_utf8()) {}

Ref scan_file_status(Service& self) {
  static const host::Interned compile_gitignore_patterns{"_compile_gitignore_patterns"};
  Ref index_class = host::import_from("dulwich.index", "Index");
  Ref blob_class = host::import_from("dulwich.objects", "Blob");
  ScanContext scan(self, std::move(blob_class));
  IndexAndHead tables(scan);
  Findings findings;

  tables.read_index(index_class.get());
  HashingAhead hashing(scan, tables.index());
  tables.read_head();
  Ref ignore_rules = host::call_method(scan.object.get(), compile_gitignore_patterns, {});
  TreeWalk tree(scan, tables, hashing, findings, std::move(ignore_rules));
  if (tables.read_natively()) {
    // The comparison with HEAD asks nothing of the host where the store read
    // the index: it may follow the walk, which then runs while the files are
    // hashed. Findings keep the passes' order.
    tree.walk();
    hashing.finish();
    tables.compare(findings);
    tree.compare_deferred();
  } else {
    hashing.finish();
    tables.compare(findings);
    tree.walk();
  }
  return findings.records();
}

}  // namespace status
