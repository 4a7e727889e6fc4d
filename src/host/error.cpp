#include "host/error.h"

#include <cerrno>
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

void raise_os_error(int error, PyObject* filename) {
  errno = error;
  PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, filename);
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

void raise_from(PyObject* type, const char* message, Ref cause) {
  Ref error = Ref::check(PyObject_CallFunction(type, "s", message));
  if (cause) {
    PyException_SetCause(error.get(), cause.copy().release());
    PyException_SetContext(error.get(), cause.release());
  }
  PyErr_SetRaisedException(error.release());
  throw Error{};
}

void raise_empty(PyObject* type) {
  PyErr_SetNone(type);
  throw Error{};
}

Ref thrown_exception(PyObject* type, PyObject* value, PyObject* traceback) {
  if (traceback == Py_None) traceback = nullptr;
  if (traceback != nullptr && !PyTraceBack_Check(traceback)) {
    raise(PyExc_TypeError, "throw() third argument must be a traceback object");
  }
  Ref exception;
  if (PyExceptionClass_Check(type)) {
    if (value != nullptr && PyExceptionInstance_Check(value) &&
        check(PyObject_IsSubclass(reinterpret_cast<PyObject*>(Py_TYPE(value)), type))) {
      exception = Ref::borrow(value);
    } else if (value == nullptr || value == Py_None) {
      exception = Ref::check(PyObject_CallNoArgs(type));
    } else if (PyTuple_Check(value)) {
      exception = Ref::check(PyObject_Call(type, value, nullptr));
    } else {
      exception = Ref::check(PyObject_CallOneArg(type, value));
    }
    if (!PyExceptionInstance_Check(exception.get())) {
      raise_format(PyExc_TypeError, "calling %R should have returned an instance of BaseException, not %s", type,
                   Py_TYPE(exception.get())->tp_name);
    }
  } else if (PyExceptionInstance_Check(type)) {
    if (value != nullptr && value != Py_None) {
      raise(PyExc_TypeError, "instance exception may not have a separate value");
    }
    exception = Ref::borrow(type);
  } else {
    raise_format(PyExc_TypeError, "exceptions must be classes or instances deriving from BaseException, not %s",
                 Py_TYPE(type)->tp_name);
  }
  if (traceback != nullptr) check(PyException_SetTraceback(exception.get(), traceback));
  return exception;
}

void reraise(Ref exception) {
  PyErr_SetRaisedException(exception.release());
  throw Error{};
}

}  // namespace host
