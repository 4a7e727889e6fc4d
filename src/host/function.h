// The native function object: what the host sees of every method of the
// module's class and of its module-level function.
//
// Each function is declared once, by a FunctionSpec: its name, docstring,
// parameters (name, kind, default, annotation), how it binds, and its body.
// From that one declaration come the argument parsing with the host's error
// texts, `__defaults__`, `__annotations__`, the signature `inspect` reads, and
// binding as an instance method, a static method or a plain function. Bodies
// receive arguments already checked and converted.
#pragma once

#include <cstddef>
#include <span>
#include <type_traits>
#include <utility>

#include "host/error.h"
#include "host/ref.h"

namespace host {

// What a parameter accepts.
enum class Kind : unsigned char {
  Object,  // anything
  Str,     // exactly str (or None when allowed)
  Bytes,   // exactly bytes (or None when allowed)
  List,    // exactly list (or None when allowed)
  Int32,   // converted to a signed 32-bit int
};

// A parameter's default, as shown in `__defaults__` and the signature.
struct Default {
  enum class Type : unsigned char { Required, Int, Bool, Str };
  Type type = Type::Required;
  long long number = 0;
  const char* text = nullptr;

  static constexpr Default integer(long long value) { return {Type::Int, value, nullptr}; }
  static constexpr Default boolean(bool value) { return {Type::Bool, value, nullptr}; }
  static constexpr Default string(const char* value) { return {Type::Str, 0, value}; }
  constexpr bool required() const { return type == Type::Required; }
};

struct Param {
  const char* name;
  Kind kind = Kind::Object;
  bool accepts_none = true;  // for Str, Bytes and List
  Default default_value = {};
  const char* annotation = nullptr;  // shown in __annotations__ as this str
};

// One parsed argument: the object, and for Int32 parameters its value.
struct Arg {
  PyObject* object = nullptr;
  int int32 = 0;
};

// The arguments a body receives, in parameter order.
class Args {
 public:
  explicit Args(const Arg* values) : values_(values) {}
  template <class T>
  T get(std::size_t i) const {
    if constexpr (std::is_same_v<T, int>) {
      return values_[i].int32;
    } else {
      static_assert(std::is_same_v<T, PyObject*>, "parameters are PyObject* or int");
      return values_[i].object;
    }
  }

 private:
  const Arg* values_;
};

enum class Binding : unsigned char {
  Method,        // first argument is `self`, an instance of the owner class
  StaticMethod,  // stored as a staticmethod in the owner class
  Function,      // a module-level function
};

enum class Calling : unsigned char {
  Keywords,        // positional-or-keyword parameters
  PositionalOnly,  // one positional argument, no keywords
};

// The body of a function: `self` is null except for methods.
using Body = Ref (*)(PyObject* self, const Args& args);

struct FunctionSpec {
  const char* name;
  const char* doc;  // null: no docstring
  Binding binding;
  std::span<const Param> params;
  Body body;
  const char* return_annotation = nullptr;
  Calling calling = Calling::Keywords;
};

// Makes the function object for `spec`, which must outlive it. For methods,
// `owner` is the class whose instances `self` must be and `owner_name` its
// name (for `__qualname__`); for module functions both are null.
Ref make_function(const FunctionSpec& spec, PyTypeObject* owner, const char* owner_name, const char* module_name);

// Parses `args`/`kwnames` (vectorcall form, self excluded) against `spec`
// into `out` (one Arg per parameter), raising the host's argument errors.
// `defaults` is the function's `__defaults__` tuple (or None).
void parse_arguments(const FunctionSpec& spec, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                     PyObject* defaults, Arg* out);

// Parses the (args, kwargs) of a type slot such as tp_init the same way.
// The parsed objects are borrowed from `args`/`kwargs`.
void parse_slot_arguments(const FunctionSpec& spec, PyObject* args, PyObject* kwargs, Arg* out);

// `int(value)` converted to a signed 32-bit int with the host's error texts:
// TypeError "an integer is required" for an object without an integer
// conversion, OverflowError "value too large to convert to int".
int to_int32(PyObject* value);

// The same conversion to a C long ("value too large to convert to long").
long to_long(PyObject* value);

// Adapts a typed body to the uniform Body: `Ref f(T...)` for a function or a
// static method, `Ref f(Self&, T...)` for a method, where `Self::from(self)`
// gives the instance behind `self`. Each T is PyObject* or int, one per
// parameter in order; `arity` is their number, for the table to check.
template <class Signature, auto F>
struct AdaptSignature;

template <auto F>
struct Adapt : AdaptSignature<decltype(F), F> {};

template <class... T, auto F>
struct AdaptSignature<Ref (*)(T...), F> {
  static constexpr std::size_t arity = sizeof...(T);
  static Ref body(PyObject*, const Args& args) { return call(args, std::index_sequence_for<T...>{}); }

 private:
  template <std::size_t... I>
  static Ref call(const Args& args, std::index_sequence<I...>) {
    return F(args.get<T>(I)...);
  }
};

template <class Self, class... T, auto F>
struct AdaptSignature<Ref (*)(Self&, T...), F> {
  static constexpr std::size_t arity = sizeof...(T);
  static Ref body(PyObject* self, const Args& args) { return call(self, args, std::index_sequence_for<T...>{}); }

 private:
  template <std::size_t... I>
  static Ref call(PyObject* self, const Args& args, std::index_sequence<I...>) {
    return F(Self::from(self), args.get<T>(I)...);
  }
};

}  // namespace host
