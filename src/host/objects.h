// Small helpers over the host's object protocol. Each one says which Python
// expression it stands for; each throws host::Error when the host raises.
#pragma once

#include <array>
#include <cstddef>
#include <initializer_list>
#include <string_view>
#include <utility>

#include "host/error.h"
#include "host/ref.h"

namespace host {

// An interned str made on first use and kept for the life of the process:
// an attribute name, a pattern, an encoding, any constant text a method uses
// again and again: `static const host::Interned parents{"parents"};`.
class Interned {
 public:
  constexpr explicit Interned(const char* text) : text_(text) {}
  PyObject* get() const;
  const char* text() const { return text_; }

 private:
  const char* text_;
  mutable PyObject* object_ = nullptr;
};

// The keyword names of one call site, in the order the call passes them:
// `static const host::KwNames run_keywords{"capture_output", "text", ...};`.
template <std::size_t N>
class KwNames {
 public:
  template <class... Text>
  constexpr explicit KwNames(Text... names) : names_{names...} {}
  static constexpr std::size_t size() { return N; }
  // The tuple of interned names that vectorcall takes as `kwnames`.
  PyObject* tuple() const {
    if (tuple_ == nullptr) {
      Ref names = Ref::check(PyTuple_New(N));
      for (std::size_t i = 0; i < N; ++i) {
        PyObject* name = PyUnicode_InternFromString(names_[i]);
        if (name == nullptr) throw Error{};
        PyTuple_SET_ITEM(names.get(), i, name);
      }
      tuple_ = names.release();
    }
    return tuple_;
  }

 private:
  std::array<const char*, N> names_;
  mutable PyObject* tuple_ = nullptr;
};
template <class... Text>
KwNames(Text...) -> KwNames<sizeof...(Text)>;

// getattr(object, name)
Ref getattr(PyObject* object, PyObject* name);
inline Ref getattr(PyObject* object, const Interned& name) { return getattr(object, name.get()); }

// object[key]
Ref getitem(PyObject* object, PyObject* key);

// function(*args)
Ref call(PyObject* function, std::initializer_list<PyObject*> args);

// function(*args, **kwargs), the keywords passed in the order `names` gives.
Ref call_vector(PyObject* function, PyObject* const* args, std::size_t nargs, PyObject* const* kwvalues,
                PyObject* kwnames);
template <std::size_t N>
Ref call(PyObject* function, std::initializer_list<PyObject*> args, const KwNames<N>& names,
         std::initializer_list<PyObject*> kwvalues) {
  // A mismatch is a programming error in the caller, not a host failure.
  if (kwvalues.size() != N) raise(PyExc_SystemError, "keyword values do not match their names");
  return call_vector(function, args.begin(), args.size(), kwvalues.begin(), names.tuple());
}

// object.name(*args)
Ref call_method(PyObject* object, const Interned& name, std::initializer_list<PyObject*> args);

// import module  (the top-level module, or the named submodule: "dulwich.index")
Ref import(const char* module);

// from module import name
Ref import_from(const char* module, const char* name);

// str(object); an exact str is returned unchanged.
Ref str(PyObject* object);

// f"{object}"
Ref format(PyObject* object);

// bool(object)
bool truthy(PyObject* object);

// a == b
bool equal(PyObject* a, PyObject* b);

// The str made of `utf8`.
Ref text(std::string_view utf8);

// The bytes made of `data`.
Ref bytes(std::string_view data);

// int(value)
Ref integer(long long value);

// True / False
inline PyObject* boolean(bool value) { return value ? Py_True : Py_False; }

// []
Ref new_list();
// list.append(item)
void append(PyObject* list, PyObject* item);

// {}
Ref new_dict();
// d[key] = value
void set_item(PyObject* dict, PyObject* key, PyObject* value);
inline void set_item(PyObject* dict, const Interned& key, PyObject* value) { set_item(dict, key.get(), value); }

// set()
Ref new_set();
// s.add(item)
void add(PyObject* set, PyObject* item);

// (items...)
Ref tuple(std::initializer_list<PyObject*> items);

// len(object)
Py_ssize_t length(PyObject* object);

// first, second = value  (with the host's errors for a wrong count or a
// value that cannot be iterated)
std::pair<Ref, Ref> unpack_pair(PyObject* value);

// object[start:]
Ref slice_from(PyObject* object, Py_ssize_t start);

// item in container
bool contains(PyObject* container, PyObject* item);

// for item in object: each(item)   (`item` is borrowed for the call)
template <class Each>
void for_each(PyObject* object, Each&& each) {
  Ref iterator = Ref::check(PyObject_GetIter(object));
  while (PyObject* item = PyIter_Next(iterator.get())) {
    Ref owned = Ref::steal(item);
    each(owned.get());
  }
  if (PyErr_Occurred()) throw Error{};
}

// getattr(object, name, None), except that a missing attribute gives a null
// Ref (only AttributeError counts as missing, as hasattr() has it).
Ref getattr_optional(PyObject* object, const Interned& name);

// setattr(object, name, value)
void setattr(PyObject* object, const Interned& name, PyObject* value);

// Whether the instance's own __dict__ holds a name its class also defines
// (a method replaced on this one object): any(name in vars(type(object)) ...
// along the class's MRO for name in vars(object)).
bool shadows_class_attribute(PyObject* object);

// The bytes of a bytes object (not a subclass's override: its stored bytes).
std::string_view bytes_view(PyObject* data);

// a != b
bool not_equal(PyObject* a, PyObject* b);

// `object.name(*args)` run as a `finally` clause runs while the body's
// exception is pending: that exception is set aside during the call and comes
// back after it, unless the call itself raises (its error then takes over,
// with the body's exception as its context).
void call_method_in_finally(PyObject* object, const Interned& name, std::initializer_list<PyObject*> args = {});

}  // namespace host
