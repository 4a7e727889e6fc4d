#include "host/objects.h"

#include <algorithm>
#include <vector>

namespace host {

PyObject* Interned::get() const {
  if (object_ == nullptr) {
    object_ = PyUnicode_InternFromString(text_);
    if (object_ == nullptr) throw Error{};
  }
  return object_;
}

Ref getattr(PyObject* object, PyObject* name) { return Ref::check(PyObject_GetAttr(object, name)); }

Ref getitem(PyObject* object, PyObject* key) { return Ref::check(PyObject_GetItem(object, key)); }

Ref call(PyObject* function, std::initializer_list<PyObject*> args) {
  return Ref::check(PyObject_Vectorcall(function, const_cast<PyObject**>(args.begin()), args.size(), nullptr));
}

Ref call_vector(PyObject* function, PyObject* const* args, std::size_t nargs, PyObject* const* kwvalues,
                PyObject* kwnames) {
  const std::size_t nkw = static_cast<std::size_t>(PyTuple_GET_SIZE(kwnames));
  // One spare slot in front lets the callee prepend `self` without copying.
  std::vector<PyObject*> stack(1 + nargs + nkw);
  std::copy_n(args, nargs, stack.data() + 1);
  std::copy_n(kwvalues, nkw, stack.data() + 1 + nargs);
  return Ref::check(PyObject_Vectorcall(function, stack.data() + 1, nargs | PY_VECTORCALL_ARGUMENTS_OFFSET, kwnames));
}

Ref call_method(PyObject* object, const Interned& name, std::initializer_list<PyObject*> args) {
  std::vector<PyObject*> stack(1 + args.size());
  stack[0] = object;
  std::copy(args.begin(), args.end(), stack.data() + 1);
  return Ref::check(
      PyObject_VectorcallMethod(name.get(), stack.data(), stack.size() | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

Ref import(const char* module) { return Ref::check(PyImport_ImportModule(module)); }

Ref import_from(const char* module, const char* name) {
  Ref name_text = text(name);
  // Already imported and holding the name: what the import statement would
  // find, without its machinery (methods import on every call).
  Ref module_name = text(module);
  if (Ref imported = Ref::steal(PyImport_GetModule(module_name.get()))) {
    if (PyObject* value = PyObject_GetAttr(imported.get(), name_text.get())) return Ref::steal(value);
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw Error{};
    PyErr_Clear();
  } else if (PyErr_Occurred()) {
    throw Error{};
  }
  Ref fromlist = tuple({name_text.get()});
  Ref package = Ref::check(PyImport_ImportModuleLevel(module, nullptr, nullptr, fromlist.get(), 0));
  PyObject* value = PyObject_GetAttr(package.get(), name_text.get());
  if (value == nullptr) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw Error{};
    PyErr_Clear();
    raise_format(PyExc_ImportError, "cannot import name '%s' from '%s'", name, module);
  }
  return Ref::steal(value);
}

Ref str(PyObject* object) {
  if (PyUnicode_CheckExact(object)) return Ref::borrow(object);
  return Ref::check(PyObject_Str(object));
}

Ref format(PyObject* object) {
  if (PyUnicode_CheckExact(object)) return Ref::borrow(object);
  return Ref::check(PyObject_Format(object, nullptr));
}

bool truthy(PyObject* object) { return check(PyObject_IsTrue(object)) != 0; }

bool equal(PyObject* a, PyObject* b) { return check(PyObject_RichCompareBool(a, b, Py_EQ)) != 0; }

Ref text(std::string_view utf8) {
  return Ref::check(PyUnicode_FromStringAndSize(utf8.data(), static_cast<Py_ssize_t>(utf8.size())));
}

Ref bytes(std::string_view data) {
  return Ref::check(PyBytes_FromStringAndSize(data.data(), static_cast<Py_ssize_t>(data.size())));
}

Ref integer(long long value) { return Ref::check(PyLong_FromLongLong(value)); }

Ref new_list() { return Ref::check(PyList_New(0)); }

void append(PyObject* list, PyObject* item) { check(PyList_Append(list, item)); }

Ref new_dict() { return Ref::check(PyDict_New()); }

void set_item(PyObject* dict, PyObject* key, PyObject* value) { check(PyDict_SetItem(dict, key, value)); }

Ref new_set() { return Ref::check(PySet_New(nullptr)); }

void add(PyObject* set, PyObject* item) { check(PySet_Add(set, item)); }

Ref tuple(std::initializer_list<PyObject*> items) {
  Ref result = Ref::check(PyTuple_New(static_cast<Py_ssize_t>(items.size())));
  Py_ssize_t i = 0;
  for (PyObject* item : items) PyTuple_SET_ITEM(result.get(), i++, Py_NewRef(item));
  return result;
}

Py_ssize_t length(PyObject* object) {
  Py_ssize_t size = PyObject_Length(object);
  if (size < 0) throw Error{};
  return size;
}

std::pair<Ref, Ref> unpack_pair(PyObject* value) {
  // A list, or a tuple that iterates as a tuple (plain or named), is read in place.
  const bool plain_tuple = PyTuple_Check(value) && Py_TYPE(value)->tp_iter == PyTuple_Type.tp_iter;
  if ((plain_tuple || PyList_CheckExact(value)) && Py_SIZE(value) == 2) {
    return {Ref::borrow(PySequence_Fast_ITEMS(value)[0]), Ref::borrow(PySequence_Fast_ITEMS(value)[1])};
  }
  Ref iterator = Ref::steal(PyObject_GetIter(value));
  if (!iterator) {
    if (PyErr_ExceptionMatches(PyExc_TypeError) && Py_TYPE(value)->tp_iter == nullptr && !PySequence_Check(value)) {
      PyErr_Clear();
      raise_format(PyExc_TypeError, "cannot unpack non-iterable %.200s object", Py_TYPE(value)->tp_name);
    }
    throw Error{};
  }
  Ref items[2];
  for (int i = 0; i < 2; ++i) {
    items[i] = Ref::steal(PyIter_Next(iterator.get()));
    if (!items[i]) {
      if (PyErr_Occurred()) throw Error{};
      raise_format(PyExc_ValueError, "not enough values to unpack (expected 2, got %d)", i);
    }
  }
  Ref extra = Ref::steal(PyIter_Next(iterator.get()));
  if (extra) raise(PyExc_ValueError, "too many values to unpack (expected 2)");
  if (PyErr_Occurred()) throw Error{};
  return {std::move(items[0]), std::move(items[1])};
}

Ref slice_from(PyObject* object, Py_ssize_t start) {
  Ref first = integer(start);
  Ref slice = Ref::check(PySlice_New(first.get(), nullptr, nullptr));
  return getitem(object, slice.get());
}

bool contains(PyObject* container, PyObject* item) { return check(PySequence_Contains(container, item)) != 0; }

Ref getattr_optional(PyObject* object, const Interned& name) {
  PyObject* value = PyObject_GetAttr(object, name.get());
  if (value == nullptr) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw Error{};
    PyErr_Clear();
  }
  return Ref::steal(value);
}

void setattr(PyObject* object, const Interned& name, PyObject* value) {
  check(PyObject_SetAttr(object, name.get(), value));
}

bool shadows_class_attribute(PyObject* object) {
  static const Interned dict_name{"__dict__"};
  Ref dict = getattr_optional(object, dict_name);
  if (!dict || !PyDict_Check(dict.get())) return false;
  PyObject* key = nullptr;
  PyObject* value = nullptr;
  for (Py_ssize_t position = 0; PyDict_Next(dict.get(), &position, &key, &value);) {
    // A name that is not plain text could run code to be hashed: taken as
    // shadowing. The lookup the host makes for a class attribute sets no error.
    if (!PyUnicode_CheckExact(key) || _PyType_Lookup(Py_TYPE(object), key) != nullptr) return true;
  }
  return false;
}

std::string_view bytes_view(PyObject* data) {
  return {PyBytes_AS_STRING(data), static_cast<std::size_t>(PyBytes_GET_SIZE(data))};
}

bool not_equal(PyObject* a, PyObject* b) { return check(PyObject_RichCompareBool(a, b, Py_NE)) != 0; }

void call_method_in_finally(PyObject* object, const Interned& name, std::initializer_list<PyObject*> args) {
  Ref pending = Ref::steal(PyErr_GetRaisedException());
  std::vector<PyObject*> stack(1 + args.size());
  stack[0] = object;
  std::copy(args.begin(), args.end(), stack.data() + 1);
  PyObject* result = PyObject_VectorcallMethod(name.get(), stack.data(), stack.size(), nullptr);
  if (result == nullptr) {
    if (pending) {
      Ref failure = Ref::steal(PyErr_GetRaisedException());
      PyException_SetContext(failure.get(), pending.release());
      PyErr_SetRaisedException(failure.release());
    }
    return;
  }
  Py_DECREF(result);
  PyErr_SetRaisedException(pending.release());
}

}  // namespace host
