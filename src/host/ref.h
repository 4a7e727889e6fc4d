// Owning references to host objects and the error that carries a host exception.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

namespace host {

// Thrown when a host call failed. The host exception stays set: the entry point
// that called into the module returns NULL (or -1) and the host raises it.
struct Error {};

// Owns one reference to a host object (or nothing) and releases it on
// destruction. Move-only: copies are spelled `copy()`.
class Ref {
 public:
  Ref() noexcept = default;
  Ref(Ref&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
  Ref& operator=(Ref&& other) noexcept {
    PyObject* old = std::exchange(object_, std::exchange(other.object_, nullptr));
    Py_XDECREF(old);
    return *this;
  }
  Ref(const Ref&) = delete;
  Ref& operator=(const Ref&) = delete;
  ~Ref() { Py_XDECREF(object_); }

  // Takes over a reference the caller owns (a "new reference"); may be null.
  static Ref steal(PyObject* object) noexcept {
    Ref ref;
    ref.object_ = object;
    return ref;
  }
  // Adds a reference to an object the caller only borrows.
  static Ref borrow(PyObject* object) noexcept {
    Py_XINCREF(object);
    return steal(object);
  }
  // Takes over the result of a host call that returns a new reference or NULL
  // with an exception set; throws Error for NULL.
  static Ref check(PyObject* result) {
    if (result == nullptr) throw Error{};
    return steal(result);
  }

  PyObject* get() const noexcept { return object_; }
  // Gives up ownership: the caller now owns the reference.
  PyObject* release() noexcept { return std::exchange(object_, nullptr); }
  Ref copy() const noexcept { return borrow(object_); }
  explicit operator bool() const noexcept { return object_ != nullptr; }

 private:
  PyObject* object_ = nullptr;
};

// Throws Error when a host call reported failure by a negative status.
inline int check(int status) {
  if (status < 0) throw Error{};
  return status;
}

// Throws Error when a host call that returns a borrowed reference failed.
inline PyObject* check_borrowed(PyObject* result) {
  if (result == nullptr) throw Error{};
  return result;
}

// A static type object with every slot empty, ready to be filled in and
// passed to PyType_Ready.
inline PyTypeObject blank_type() {
  PyTypeObject type{};
  // The macro ends in a comma, made for the head of an initializer list.
  const PyVarObject head[] = {PyVarObject_HEAD_INIT(nullptr, 0)};
  type.ob_base = head[0];
  return type;
}

}  // namespace host
