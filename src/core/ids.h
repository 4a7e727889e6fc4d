// Commit and object ids, and ref names, as the host sees them.
#pragma once

#include <optional>
#include <string_view>

#include "core/service.h"
#include "host/host.h"
#include "store/object_id.h"

namespace core {

// One of "0123456789abcdefABCDEF".
inline bool is_hex_digit(Py_UCS4 ch) {
  return (ch >= '0' && ch <= '9') || (ch >= 'a' && ch <= 'f') || (ch >= 'A' && ch <= 'F');
}

// f"{prefix}{branch}".encode(): the full ref name of a branch (None gives
// "None"), as library lookups take it. Raises for text UTF-8 cannot encode.
host::Ref ref_name(std::string_view prefix, PyObject* branch);

// The repository's object format, as self.repo reports it (dulwich's
// `repo.object_format`): whether its ids are SHA-256 ones, 64 hexadecimal
// digits (32 raw bytes), rather than SHA-1 ones. Asked only where an id's
// length leaves the answer open (a SHA-1 repository's ids never do), then
// once for the method call that holds it: nothing is kept between calls.
class IdFormat {
 public:
  explicit IdFormat(const Service& self) : self_(self) {}
  IdFormat(const IdFormat&) = delete;
  IdFormat& operator=(const IdFormat&) = delete;

  // Whether the repository's ids are 64 hexadecimal digits. A repository
  // object that says nothing of its format, or raises when asked, has SHA-1
  // ids, as the methods have always read them.
  bool long_ids();
  // Whether `size` bytes held as an id are its hexadecimal digits: 40, or
  // 64 in a SHA-256 repository.
  bool hex_size(Py_ssize_t size) { return size == 40 || (size == 64 && long_ids()); }
  // Whether `size` bytes are a raw id: 20, or 32 in a SHA-256 repository.
  bool raw_size(Py_ssize_t size) { return size == 20 || (size == 32 && long_ids()); }
  // self.repo.object_format, for the library calls that need it (only
  // asked for in a SHA-256 repository).
  PyObject* object_format() {
    long_ids();
    return format_.get();
  }

 private:
  const Service& self_;
  std::optional<bool> long_ids_;
  Ref format_;
};

// The id text of an id held as bytes: its hexadecimal digits (40 bytes, or 64
// in a SHA-256 repository) are decoded as ASCII (strictly: other bytes raise
// UnicodeDecodeError); any other length, the raw id included, is written out
// as bytes.hex() does. `id` must be bytes (subclasses included).
host::Ref id_text(PyObject* id, IdFormat& format);

// The id that the format's lowercase hexadecimal digits (40, or 64 for
// SHA-256) in exact bytes spell, the form in which the library gives ids (a
// ref's target, a tree's id): the form the native object store takes.
// Anything else is left to the library.
std::optional<store::ObjectId> hex_object_id(PyObject* id, store::HashFormat format);

// The same for an exact str: an id text such as a walk hands out.
std::optional<store::ObjectId> text_object_id(PyObject* text, store::HashFormat format);

}  // namespace core
