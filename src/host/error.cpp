#include "host/error.h"

#include <cstdarg>
#include <exception>

namespace host {

void raise(PyObject* type, const char* message) {
  PyErr_SetString(type, message);
  throw Error{};
}

void raise_format(PyObject* type, const char* format, ...) {
  va_list arguments;
  va_start(arguments, format);
  PyErr_FormatV(type, format, arguments);
  va_end(arguments);
  throw Error{};
}

void raise_instance(PyObject* exception) {
  if (!PyExceptionInstance_Check(exception)) raise(PyExc_TypeError, "exceptions must derive from BaseException");
  PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exception)), exception);
  throw Error{};
}

bool pending_matches(std::initializer_list<PyObject*> classes) {
  for (PyObject* type : classes) {
    if (PyErr_ExceptionMatches(type)) return true;
  }
  return false;
}

void except(std::initializer_list<PyObject*> classes) {
  if (!pending_matches(classes)) throw;
  PyErr_Clear();
}

Ref except_as(std::initializer_list<PyObject*> classes) {
  if (!pending_matches(classes)) throw;
  return Ref::steal(PyErr_GetRaisedException());
}

void set_from_cxx_exception() noexcept {
  try {
    throw;
  } catch (const Error&) {
    if (!PyErr_Occurred()) {
      PyErr_SetString(PyExc_SystemError, "error reported without a host exception set");
    }
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::exception& error) {
    PyErr_SetString(PyExc_SystemError, error.what());
  } catch (...) {
    PyErr_SetString(PyExc_SystemError, "unexpected C++ exception");
  }
}

}  // namespace host
