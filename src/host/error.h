// Raising host exceptions from C++, the `except` clause, and the guards every
// entry point from the host runs its body in.
#pragma once

#include <initializer_list>
#include <new>

#include "host/ref.h"

namespace host {

// `raise type(message)`.
[[noreturn]] void raise(PyObject* type, const char* message);

// `raise type(message % args)`, formatted as PyErr_Format does.
[[noreturn]] void raise_format(PyObject* type, const char* format, ...);

// `raise exception` for an exception instance (TypeError for anything else).
[[noreturn]] void raise_instance(PyObject* exception);

// `raise OSError(error, os.strerror(error), filename)`: the host picks the
// subclass for the error number (PermissionError for EACCES, and so on).
[[noreturn]] void raise_os_error(int error, PyObject* filename);

// True when the pending host exception is an instance of one of `classes`.
bool pending_matches(std::initializer_list<PyObject*> classes);

// `except classes:` — use inside `catch (const host::Error&)`. Clears the
// pending host exception when it is an instance of one of `classes` (the
// handler then goes on); otherwise rethrows, so that anything else (and
// everything outside Exception, such as KeyboardInterrupt) keeps propagating.
void except(std::initializer_list<PyObject*> classes);

// `except Exception:`.
inline void except_exception() { except({PyExc_Exception}); }

// `except (KeyError, AttributeError, TypeError):`, the guard the methods put
// around reads of the caller's refs (a missing ref raises KeyError).
inline void except_key_attribute_or_type_error() { except({PyExc_KeyError, PyExc_AttributeError, PyExc_TypeError}); }

// Called in an entry point's catch-all: turns a C++ exception that is not a
// host Error into the matching host exception.
void set_from_cxx_exception() noexcept;

// Runs `body` (returning Ref) for an entry point that returns a new reference
// or NULL. No C++ exception leaves.
template <class Body>
PyObject* entry(Body&& body) noexcept {
  try {
    return body().release();
  } catch (...) {
    set_from_cxx_exception();
    return nullptr;
  }
}

// Runs `body` (returning nothing) for an entry point that returns 0 or -1.
template <class Body>
int entry_status(Body&& body) noexcept {
  try {
    body();
    return 0;
  } catch (...) {
    set_from_cxx_exception();
    return -1;
  }
}

// `except classes as error:` — like except(), and hands back the exception
// instance that was caught (no longer pending).
Ref except_as(std::initializer_list<PyObject*> classes);

// One level of native recursion counted against the host's limit, as a call
// of a host function counts: deep recursion raises RecursionError ("maximum
// recursion depth exceeded" + `where`) instead of running out of C stack.
class RecursionGuard {
 public:
  explicit RecursionGuard(const char* where) {
    if (Py_EnterRecursiveCall(where) != 0) throw Error{};
  }
  ~RecursionGuard() { Py_LeaveRecursiveCall(); }
  RecursionGuard(const RecursionGuard&) = delete;
  RecursionGuard& operator=(const RecursionGuard&) = delete;
};

// `raise type(message) from cause`, the cause also being the new exception's
// context, as the host does when a generator lets StopIteration escape.
[[noreturn]] void raise_from(PyObject* type, const char* message, Ref cause);

// raise_from() with the pending exception as the cause.
[[noreturn]] inline void raise_from_pending(PyObject* type, const char* message) {
  raise_from(type, message, Ref::steal(PyErr_GetRaisedException()));
}

// `raise type` for an exception class: an instance made without arguments.
[[noreturn]] void raise_empty(PyObject* type);

// The exception `generator.throw(type, value, traceback)` raises inside the
// generator, with the host's checks and texts for those arguments: a class is
// instantiated (no value: no arguments; a tuple: its items; anything else: one
// argument) unless `value` is already an instance of it; an instance takes no
// separate value. `value` and `traceback` may be null (not given).
Ref thrown_exception(PyObject* type, PyObject* value, PyObject* traceback);

// Raises the exception instance as it is, as re-raising a caught exception
// does: it is not chained to an exception being handled.
[[noreturn]] void reraise(Ref exception);

}  // namespace host
