// Messages to the host's `logging`, for hosts that listen, and the name of
// the native function a thread is running (for what those messages say).
#pragma once

#include <initializer_list>
#include <string_view>

#include "host/ref.h"

namespace host {

// The name of the innermost native function running on this thread (as its
// declaration gives it), or null outside one.
const char* running_function();

// Sets running_function() for as long as it lives; the one before comes
// back then (a function may call another through the host).
class RunningFunction {
 public:
  explicit RunningFunction(const char* name);
  ~RunningFunction();
  RunningFunction(const RunningFunction&) = delete;
  RunningFunction& operator=(const RunningFunction&) = delete;

 private:
  const char* previous_;
};

// `logging.getLogger(name)`: no handler is added, so nothing shows unless the
// host configures logging.
class Logger {
 public:
  explicit Logger(const char* name);
  // `logger.isEnabledFor(logging.DEBUG)`
  bool debug_enabled() const;
  // `logger.debug(format, *args)`, each argument a str.
  void debug(const char* format, std::initializer_list<std::string_view> args) const;

 private:
  Ref logger_;
};

// Runs `work` with the pending host exception (if any) set aside, and puts
// it back afterwards; whatever `work` raises is dropped. For reports made
// while a call ends, raising or not.
template <class Work>
void aside_from_pending_exception(Work&& work) noexcept {
  PyObject* pending = PyErr_GetRaisedException();
  try {
    work();
  } catch (...) {
    PyErr_Clear();
  }
  PyErr_Clear();
  PyErr_SetRaisedException(pending);
}

}  // namespace host
