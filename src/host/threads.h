// Letting other host threads run while native work goes on.
#pragma once

#include "host/ref.h"

namespace host {

// Runs `work` with the GIL released, as Py_BEGIN_ALLOW_THREADS ... Py_END_ALLOW_THREADS
// around it, and takes the GIL back however `work` ends. `work` must not touch
// any host object: gather what it needs first, build host objects after.
template <class Work>
auto without_gil(Work&& work) -> decltype(work()) {
  struct Reacquire {
    PyThreadState* state;
    ~Reacquire() { PyEval_RestoreThread(state); }
  } reacquire{PyEval_SaveThread()};
  return work();
}

}  // namespace host
