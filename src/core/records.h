// The five result records: host dataclasses made at import, and the fast way
// to fill them.
#pragma once

#include <initializer_list>

#include "host/host.h"

namespace core {

using host::Ref;

enum class Record { BranchInfo, CommitInfo, FileStatus, StashInfo, TagInfo };

// Makes the five record classes by calling `dataclass` on freshly built
// classes and binds them in `module_dict`, in record order.
void create_records(PyObject* module_dict, PyObject* dataclass);

// Makes records of one kind during one method call. The class is looked up
// in the module namespace when the maker is made, as the methods' code looks
// names up at use. While it is still the class the module made (with its
// generated __init__), a record is allocated and its fields set in field
// order, which is all the generated __init__ does; a class the host put in
// its place is called with every field as a keyword argument.
class RecordMaker {
 public:
  explicit RecordMaker(Record kind);
  // Record(field1=values[0], field2=values[1], ...), every field given.
  Ref make(std::initializer_list<PyObject*> values) const;

 private:
  Record kind_;
  Ref class_;
  bool direct_;
};

}  // namespace core
