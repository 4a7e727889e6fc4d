#include "host/function.h"

#include <climits>
#include <cstddef>
#include <vector>

#include "host/logging.h"
#include "host/objects.h"

namespace host {

namespace {

struct FunctionObject {
  PyObject ob_base;  // the object header, as PyObject_HEAD declares it
  vectorcallfunc vectorcall;
  const FunctionSpec* spec;
  PyTypeObject* owner;
  PyObject* name;
  PyObject* qualname;
  PyObject* module;
  PyObject* doc;
  PyObject* defaults;
  PyObject* annotations;
};

FunctionObject* as_function(PyObject* self) { return reinterpret_cast<FunctionObject*>(self); }

const char* kind_type_name(Kind kind) {
  switch (kind) {
    case Kind::Str:
      return "str";
    case Kind::Bytes:
      return "bytes";
    case Kind::List:
      return "list";
    default:
      return "object";
  }
}

PyTypeObject* kind_type(Kind kind) {
  switch (kind) {
    case Kind::Str:
      return &PyUnicode_Type;
    case Kind::Bytes:
      return &PyBytes_Type;
    case Kind::List:
      return &PyList_Type;
    default:
      return nullptr;
  }
}

Ref default_object(const Default& value) {
  switch (value.type) {
    case Default::Type::Int:
      return integer(value.number);
    case Default::Type::Bool:
      return Ref::borrow(boolean(value.number != 0));
    case Default::Type::Str:
      return text(value.text);
    case Default::Type::Required:
      break;
  }
  return Ref::borrow(Py_None);
}

std::size_t required_count(const FunctionSpec& spec) {
  std::size_t count = 0;
  for (const Param& param : spec.params) {
    if (param.default_value.required()) ++count;
  }
  return count;
}

[[noreturn]] void raise_count_error(const FunctionSpec& spec, Py_ssize_t given) {
  const auto minimum = static_cast<Py_ssize_t>(required_count(spec));
  const auto maximum = static_cast<Py_ssize_t>(spec.params.size());
  Py_ssize_t expected = maximum;
  const char* more_or_less = "at most";
  if (given < minimum) {
    expected = minimum;
    more_or_less = "at least";
  }
  if (minimum == maximum) more_or_less = "exactly";
  raise_format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)", spec.name, more_or_less,
               expected, expected == 1 ? "" : "s", given);
}

// The parameter index named by `key`, or -1.
Py_ssize_t param_index(const FunctionSpec& spec, PyObject* key) {
  const Py_ssize_t count = static_cast<Py_ssize_t>(spec.params.size());
  for (Py_ssize_t i = 0; i < count; ++i) {
    if (PyUnicode_CompareWithASCIIString(key, spec.params[static_cast<std::size_t>(i)].name) == 0) return i;
  }
  return -1;
}

// The value passed for parameter `name` by keyword, or null.
PyObject* keyword_value(PyObject* const* kwvalues, PyObject* kwnames, const char* name) {
  if (kwnames == nullptr) return nullptr;
  const Py_ssize_t count = PyTuple_GET_SIZE(kwnames);
  for (Py_ssize_t i = 0; i < count; ++i) {
    if (PyUnicode_CompareWithASCIIString(PyTuple_GET_ITEM(kwnames, i), name) == 0) return kwvalues[i];
  }
  return nullptr;
}

void check_no_keywords(const FunctionSpec& spec, PyObject* kwnames) {
  if (kwnames != nullptr && PyTuple_GET_SIZE(kwnames) > 0) {
    raise_format(PyExc_TypeError, "%.200s() takes no keyword arguments", spec.name);
  }
}

void convert_and_check(const FunctionSpec& spec, Arg* out) {
  const std::size_t count = spec.params.size();
  for (std::size_t i = 0; i < count; ++i) {
    if (spec.params[i].kind == Kind::Int32) out[i].int32 = to_int32(out[i].object);
  }
  for (std::size_t i = 0; i < count; ++i) {
    const Param& param = spec.params[i];
    PyTypeObject* type = kind_type(param.kind);
    if (type == nullptr) continue;
    PyObject* value = out[i].object;
    if (Py_IS_TYPE(value, type) || (param.accepts_none && value == Py_None)) continue;
    raise_format(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)", param.name,
                 kind_type_name(param.kind), Py_TYPE(value)->tp_name);
  }
}

PyObject* function_vectorcall(PyObject* callable, PyObject* const* args, std::size_t nargsf,
                              PyObject* kwnames) noexcept {
  return entry([&]() -> Ref {
    FunctionObject* function = as_function(callable);
    const FunctionSpec& spec = *function->spec;
    Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    PyObject* self = nullptr;
    if (spec.binding == Binding::Method) {
      if (nargs < 1) raise_format(PyExc_TypeError, "unbound method %U() needs an argument", function->qualname);
      self = args[0];
      if (!PyObject_TypeCheck(self, function->owner)) {
        raise_format(PyExc_TypeError, "descriptor '%s' for '%s' objects doesn't apply to a '%.100s' object", spec.name,
                     function->owner->tp_name, Py_TYPE(self)->tp_name);
      }
      ++args;
      --nargs;
    }
    std::vector<Arg> values(spec.params.size());
    parse_arguments(spec, args, nargs, kwnames, function->defaults, values.data());
    // Keep self alive for the whole call even if the body drops other references to it.
    Ref keep_self = Ref::borrow(self);
    const RunningFunction running(spec.name);
    return spec.body(self, Args(values.data()));
  });
}

PyObject* function_descr_get(PyObject* self, PyObject* instance, PyObject*) noexcept {
  if (instance == nullptr || instance == Py_None) return Py_NewRef(self);
  return PyMethod_New(self, instance);
}

int function_traverse(PyObject* self, visitproc visit, void* arg) noexcept {
  FunctionObject* function = as_function(self);
  Py_VISIT(function->defaults);
  Py_VISIT(function->annotations);
  Py_VISIT(function->doc);
  return 0;
}

int function_clear(PyObject* self) noexcept {
  FunctionObject* function = as_function(self);
  Py_CLEAR(function->defaults);
  Py_CLEAR(function->annotations);
  Py_CLEAR(function->doc);
  return 0;
}

void function_dealloc(PyObject* self) noexcept {
  PyObject_GC_UnTrack(self);
  FunctionObject* function = as_function(self);
  function_clear(self);
  Py_CLEAR(function->name);
  Py_CLEAR(function->qualname);
  Py_CLEAR(function->module);
  Py_TYPE(self)->tp_free(self);
}

PyObject* function_repr(PyObject* self) noexcept {
  return PyUnicode_FromFormat("<native function %U at %p>", as_function(self)->qualname, self);
}

PyObject* or_none(PyObject* value) { return Py_NewRef(value != nullptr ? value : Py_None); }

PyObject* get_name(PyObject* self, void*) noexcept { return or_none(as_function(self)->name); }
PyObject* get_qualname(PyObject* self, void*) noexcept { return or_none(as_function(self)->qualname); }
PyObject* get_module(PyObject* self, void*) noexcept { return or_none(as_function(self)->module); }
PyObject* get_doc(PyObject* self, void*) noexcept { return or_none(as_function(self)->doc); }
PyObject* get_defaults(PyObject* self, void*) noexcept { return or_none(as_function(self)->defaults); }
PyObject* get_kwdefaults(PyObject*, void*) noexcept { Py_RETURN_NONE; }
PyObject* get_annotations(PyObject* self, void*) noexcept { return or_none(as_function(self)->annotations); }

// inspect.Signature of the function, `self` included for methods.
PyObject* get_signature(PyObject* self, void*) noexcept {
  return entry([&]() -> Ref {
    FunctionObject* function = as_function(self);
    const FunctionSpec& spec = *function->spec;
    static const Interned parameter_name{"Parameter"};
    static const Interned signature_name{"Signature"};
    static const Interned empty_name{"empty"};
    static const Interned positional_only{"POSITIONAL_ONLY"};
    static const Interned positional_or_keyword{"POSITIONAL_OR_KEYWORD"};
    static const KwNames parameter_keywords{"default", "annotation"};
    static const KwNames signature_keywords{"return_annotation"};
    Ref inspect = import("inspect");
    Ref parameter_type = getattr(inspect.get(), parameter_name);
    Ref signature_type = getattr(inspect.get(), signature_name);
    Ref empty = getattr(parameter_type.get(), empty_name);
    Ref kind = getattr(parameter_type.get(),
                       spec.calling == Calling::PositionalOnly ? positional_only : positional_or_keyword);
    Ref parameters = new_list();
    auto add_parameter = [&](const char* name, PyObject* default_value, PyObject* annotation) {
      Ref name_text = text(name);
      Ref parameter =
          call(parameter_type.get(), {name_text.get(), kind.get()}, parameter_keywords, {default_value, annotation});
      append(parameters.get(), parameter.get());
    };
    if (spec.binding == Binding::Method) add_parameter("self", empty.get(), empty.get());
    Py_ssize_t default_index = 0;
    for (const Param& param : spec.params) {
      PyObject* default_value = empty.get();
      if (!param.default_value.required()) default_value = PyTuple_GET_ITEM(function->defaults, default_index++);
      Ref annotation = param.annotation != nullptr ? text(param.annotation) : empty.copy();
      add_parameter(param.name, default_value, annotation.get());
    }
    Ref returns = spec.return_annotation != nullptr ? text(spec.return_annotation) : empty.copy();
    return call(signature_type.get(), {parameters.get()}, signature_keywords, {returns.get()});
  });
}

// Pickles the function by reference, as the host pickles its own functions.
PyObject* function_reduce(PyObject* self, PyObject*) noexcept { return Py_NewRef(as_function(self)->qualname); }

PyGetSetDef function_getset[] = {
    {"__name__", get_name, nullptr, nullptr, nullptr},
    {"__qualname__", get_qualname, nullptr, nullptr, nullptr},
    {"__module__", get_module, nullptr, nullptr, nullptr},
    {"__doc__", get_doc, nullptr, nullptr, nullptr},
    {"__defaults__", get_defaults, nullptr, nullptr, nullptr},
    {"__kwdefaults__", get_kwdefaults, nullptr, nullptr, nullptr},
    {"__annotations__", get_annotations, nullptr, nullptr, nullptr},
    {"__signature__", get_signature, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef function_methods[] = {
    {"__reduce__", function_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyTypeObject function_type = [] {
  PyTypeObject type = host::blank_type();
  type.tp_name = "git_service_cython.native_function";
  type.tp_basicsize = sizeof(FunctionObject);
  type.tp_dealloc = function_dealloc;
  type.tp_vectorcall_offset = offsetof(FunctionObject, vectorcall);
  type.tp_repr = function_repr;
  type.tp_call = PyVectorcall_Call;
  type.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL | Py_TPFLAGS_METHOD_DESCRIPTOR;
  type.tp_traverse = function_traverse;
  type.tp_clear = function_clear;
  type.tp_methods = function_methods;
  type.tp_getset = function_getset;
  type.tp_descr_get = function_descr_get;
  return type;
}();

}  // namespace

namespace {

long long to_integer(PyObject* value, long long minimum, long long maximum, const char* overflow_message) {
  Ref number;
  if (PyLong_Check(value)) {
    number = Ref::borrow(value);
  } else {
    PyNumberMethods* methods = Py_TYPE(value)->tp_as_number;
    if (methods == nullptr || methods->nb_int == nullptr) raise(PyExc_TypeError, "an integer is required");
    number = Ref::check(methods->nb_int(value));
    if (!PyLong_Check(number.get())) {
      raise_format(PyExc_TypeError, "__int__ returned non-int (type %.200s)", Py_TYPE(number.get())->tp_name);
    }
  }
  int overflow = 0;
  const long long result = PyLong_AsLongLongAndOverflow(number.get(), &overflow);
  if (result == -1 && PyErr_Occurred()) throw Error{};
  if (overflow != 0 || result < minimum || result > maximum) raise(PyExc_OverflowError, overflow_message);
  return result;
}

}  // namespace

int to_int32(PyObject* value) {
  return static_cast<int>(to_integer(value, INT_MIN, INT_MAX, "value too large to convert to int"));
}

long to_long(PyObject* value) {
  return static_cast<long>(to_integer(value, LONG_MIN, LONG_MAX, "value too large to convert to long"));
}

void parse_arguments(const FunctionSpec& spec, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                     PyObject* defaults, Arg* out) {
  const auto count = static_cast<Py_ssize_t>(spec.params.size());
  if (count == 0) {
    check_no_keywords(spec, kwnames);
    if (nargs != 0) raise_format(PyExc_TypeError, "%.200s() takes no arguments (%zd given)", spec.name, nargs);
    return;
  }
  if (spec.calling == Calling::PositionalOnly) {
    check_no_keywords(spec, kwnames);
    if (nargs != count) {
      raise_format(PyExc_TypeError, "%.200s() takes exactly one argument (%zd given)", spec.name, nargs);
    }
    for (Py_ssize_t i = 0; i < nargs; ++i) out[i].object = args[i];
    convert_and_check(spec, out);
    return;
  }
  if (nargs > count) raise_count_error(spec, nargs);
  for (Py_ssize_t i = 0; i < nargs; ++i) out[i].object = args[i];

  PyObject* const* kwvalues = args + nargs;
  const Py_ssize_t keyword_count = kwnames != nullptr ? PyTuple_GET_SIZE(kwnames) : 0;
  Py_ssize_t keywords_used = 0;
  Py_ssize_t default_index = 0;
  for (Py_ssize_t i = 0; i < count; ++i) {
    const Param& param = spec.params[static_cast<std::size_t>(i)];
    const bool required = param.default_value.required();
    if (i < nargs) {
      if (!required) ++default_index;
      continue;
    }
    if (PyObject* value = keyword_value(kwvalues, kwnames, param.name)) {
      out[i].object = value;
      ++keywords_used;
    } else if (required) {
      raise_count_error(spec, i);
    } else {
      out[i].object = PyTuple_GET_ITEM(defaults, default_index);
    }
    if (!required) ++default_index;
  }
  if (keywords_used < keyword_count) {
    // The first keyword in call order that names no parameter after the
    // positional ones is the one to complain about.
    for (Py_ssize_t k = 0; k < keyword_count; ++k) {
      PyObject* key = PyTuple_GET_ITEM(kwnames, k);
      const Py_ssize_t index = param_index(spec, key);
      if (index >= nargs) continue;
      if (index >= 0) {
        raise_format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'", spec.name, key);
      }
      raise_format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", spec.name, key);
    }
  }
  convert_and_check(spec, out);
}

void parse_slot_arguments(const FunctionSpec& spec, PyObject* args, PyObject* kwargs, Arg* out) {
  // Slots take no defaults: every parameter of a slot's spec is required.
  if (required_count(spec) != spec.params.size()) raise(PyExc_SystemError, "slot parameters cannot have defaults");
  const Py_ssize_t nargs = PyTuple_GET_SIZE(args);
  std::vector<PyObject*> stack(static_cast<std::size_t>(nargs));
  for (Py_ssize_t i = 0; i < nargs; ++i) stack[static_cast<std::size_t>(i)] = PyTuple_GET_ITEM(args, i);
  Ref kwnames;
  if (kwargs != nullptr && PyDict_GET_SIZE(kwargs) > 0) {
    kwnames = Ref::check(PyTuple_New(PyDict_GET_SIZE(kwargs)));
    Py_ssize_t position = 0;
    Py_ssize_t index = 0;
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    while (PyDict_Next(kwargs, &position, &key, &value)) {
      if (!PyUnicode_Check(key)) raise_format(PyExc_TypeError, "%.200s() keywords must be strings", spec.name);
      PyTuple_SET_ITEM(kwnames.get(), index++, Py_NewRef(key));
      stack.push_back(value);
    }
  }
  parse_arguments(spec, stack.data(), nargs, kwnames.get(), Py_None, out);
}

Ref make_function(const FunctionSpec& spec, PyTypeObject* owner, const char* owner_name, const char* module_name) {
  if (!(function_type.tp_flags & Py_TPFLAGS_READY)) check(PyType_Ready(&function_type));
  Ref object = Ref::check(reinterpret_cast<PyObject*>(PyObject_GC_New(FunctionObject, &function_type)));
  FunctionObject* function = as_function(object.get());
  function->vectorcall = function_vectorcall;
  function->spec = &spec;
  function->owner = owner;
  function->name = nullptr;
  function->qualname = nullptr;
  function->module = nullptr;
  function->doc = nullptr;
  function->defaults = nullptr;
  function->annotations = nullptr;
  function->name = text(spec.name).release();
  function->qualname =
      (owner_name != nullptr ? PyUnicode_FromFormat("%s.%s", owner_name, spec.name) : PyUnicode_FromString(spec.name));
  if (function->qualname == nullptr) throw Error{};
  function->module = text(module_name).release();
  function->doc = spec.doc != nullptr ? text(spec.doc).release() : Py_NewRef(Py_None);

  Ref defaults = new_list();
  Ref annotations = new_dict();
  for (const Param& param : spec.params) {
    if (!param.default_value.required()) append(defaults.get(), default_object(param.default_value).get());
    if (param.annotation != nullptr) set_item(annotations.get(), text(param.name).get(), text(param.annotation).get());
  }
  if (spec.return_annotation != nullptr) {
    set_item(annotations.get(), text("return").get(), text(spec.return_annotation).get());
  }
  function->defaults = PyList_GET_SIZE(defaults.get()) > 0 ? PyList_AsTuple(defaults.get()) : Py_NewRef(Py_None);
  if (function->defaults == nullptr) throw Error{};
  function->annotations = annotations.release();
  PyObject_GC_Track(object.get());
  return object;
}

}  // namespace host
