#include "core/records.h"

#include <array>
#include <span>

#include "core/namespace.h"

namespace core {

namespace {

struct Field {
  const char* name;
  const char* type;
  enum class Default { None, Zero, False } default_value = Default::None;
};

struct RecordDef {
  host::Interned name;
  std::span<const Field> fields;
};

constexpr Field kBranchInfo[] = {{"name", "str"}, {"head_sha", "str"}, {"timestamp", "int", Field::Default::Zero}};
constexpr Field kCommitInfo[] = {{"sha", "str"},
                                 {"summary", "str"},
                                 {"author", "str"},
                                 {"timestamp", "int"},
                                 {"pushed", "bool", Field::Default::False}};
constexpr Field kFileStatus[] = {
    {"path", "str"}, {"status", "str"}, {"staged", "bool"}, {"unstaged", "bool", Field::Default::False}};
constexpr Field kStashInfo[] = {{"index", "int"}, {"branch", "str"}, {"message", "str"},
                                {"name", "str"},  {"sha", "str"},    {"timestamp", "int", Field::Default::Zero}};
constexpr Field kTagInfo[] = {{"name", "str"},
                              {"message", "str"},
                              {"timestamp", "int"},
                              {"sha", "str"},
                              {"is_annotated", "bool", Field::Default::False}};

const RecordDef kRecords[] = {
    {host::Interned("BranchInfo"), kBranchInfo}, {host::Interned("CommitInfo"), kCommitInfo},
    {host::Interned("FileStatus"), kFileStatus}, {host::Interned("StashInfo"), kStashInfo},
    {host::Interned("TagInfo"), kTagInfo},
};
constexpr std::size_t kRecordCount = std::size(kRecords);

// Per record kind: the class the module made, its generated __init__, the
// interned field names and the tuple of keyword names for calls.
struct Made {
  PyObject* cls = nullptr;
  PyObject* init = nullptr;
  std::array<PyObject*, 6> field_names{};
  PyObject* kwnames = nullptr;
};
std::array<Made, kRecordCount> made;

const RecordDef& def(Record kind) { return kRecords[static_cast<std::size_t>(kind)]; }

Ref build_class(const RecordDef& record, PyObject* dataclass) {
  Ref annotations = host::new_dict();
  Ref ns = host::new_dict();
  host::set_item(ns.get(), host::text("__module__").get(), host::text(kModuleName).get());
  host::set_item(ns.get(), host::text("__qualname__").get(), record.name.get());
  host::set_item(ns.get(), host::text("__annotations__").get(), annotations.get());
  for (const Field& field : record.fields) {
    Ref name = host::text(field.name);
    host::set_item(annotations.get(), name.get(), host::text(field.type).get());
    if (field.default_value == Field::Default::Zero) host::set_item(ns.get(), name.get(), host::integer(0).get());
    if (field.default_value == Field::Default::False) host::set_item(ns.get(), name.get(), Py_False);
  }
  Ref bases = host::tuple({});
  Ref plain = host::call(reinterpret_cast<PyObject*>(&PyType_Type), {record.name.get(), bases.get(), ns.get()});
  return host::call(dataclass, {plain.get()});
}

}  // namespace

void create_records(PyObject* module_dict, PyObject* dataclass) {
  static const host::Interned init_name{"__init__"};
  for (std::size_t i = 0; i < kRecordCount; ++i) {
    const RecordDef& record = kRecords[i];
    Ref cls = build_class(record, dataclass);
    Made& entry = made[i];
    Ref kwnames = host::Ref::check(PyTuple_New(static_cast<Py_ssize_t>(record.fields.size())));
    for (std::size_t f = 0; f < record.fields.size(); ++f) {
      PyObject* name = PyUnicode_InternFromString(record.fields[f].name);
      if (name == nullptr) throw host::Error{};
      PyTuple_SET_ITEM(kwnames.get(), static_cast<Py_ssize_t>(f), name);
      entry.field_names[f] = name;
    }
    Ref init = Ref::borrow(host::check_borrowed(
        PyDict_GetItemWithError(reinterpret_cast<PyTypeObject*>(cls.get())->tp_dict, init_name.get())));
    host::set_item(module_dict, record.name, cls.get());
    Py_XSETREF(entry.kwnames, kwnames.release());
    Py_XSETREF(entry.init, init.release());
    Py_XSETREF(entry.cls, cls.release());
  }
}

RecordMaker::RecordMaker(Record kind) : kind_(kind), class_(global(def(kind).name)), direct_(false) {
  const Made& entry = made[static_cast<std::size_t>(kind)];
  if (class_.get() != entry.cls) return;
  auto* type = reinterpret_cast<PyTypeObject*>(entry.cls);
  static const host::Interned init_name{"__init__"};
  PyObject* init = PyDict_GetItemWithError(type->tp_dict, init_name.get());
  if (init == nullptr && PyErr_Occurred()) throw host::Error{};
  direct_ =
      init == entry.init && type->tp_new == PyBaseObject_Type.tp_new && type->tp_setattro == PyObject_GenericSetAttr;
}

Ref RecordMaker::make(std::initializer_list<PyObject*> values) const {
  const Made& entry = made[static_cast<std::size_t>(kind_)];
  if (values.size() != def(kind_).fields.size()) host::raise(PyExc_SystemError, "wrong number of record fields");
  if (!direct_) return host::call_vector(class_.get(), nullptr, 0, values.begin(), entry.kwnames);
  auto* type = reinterpret_cast<PyTypeObject*>(class_.get());
  Ref no_args = host::tuple({});
  Ref record = Ref::check(type->tp_new(type, no_args.get(), nullptr));
  std::size_t f = 0;
  for (PyObject* value : values) host::check(PyObject_GenericSetAttr(record.get(), entry.field_names[f++], value));
  return record;
}

}  // namespace core
