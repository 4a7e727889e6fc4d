#include "history/walk.h"

#include <deque>
#include <memory>
#include <utility>

#include "history/history.h"
#include "history/id_set.h"

namespace history {

namespace {

// Where the walk's body stands, as a host generator's frame state: not run
// yet, stopped at its yield, running, or done for good.
enum class State : unsigned char { Created, Suspended, Running, Finished };

// Everything one walk keeps between items: the body's local variables.
struct WalkState {
  Ref service;            // the service whose current `repo` each step reads
  std::deque<Ref> queue;  // ids still to visit, oldest first
  HostIdSet seen;         // ids already handed out
  Ref last;               // the commit handed out last; its parents are queued on resuming
  Ref last_id;            // and its id
  Ref shallow;            // the commits a shallow clone cut off from their parents; null until read
  int max_count = -1;     // negative: no limit
  long long count = 0;    // commits handed out so far
};

struct WalkObject {
  PyObject ob_base;
  PyObject* weakrefs;
  State state;
  WalkState* walk;  // null once finished
};

WalkObject& as_walk(PyObject* self) { return *reinterpret_cast<WalkObject*>(self); }

// Ends the walk for good and lets go of everything it holds, as a finished
// generator drops its frame. The state is detached before it is released:
// releasing it may run host code (even the collector), which then finds a
// finished walk with nothing to visit.
void finish(WalkObject& object) noexcept {
  object.state = State::Finished;
  delete std::exchange(object.walk, nullptr);
}

// The same, while a host exception is pending: it is set aside so that any
// host code run by the releases starts clean.
void finish_keeping_error(WalkObject& object) noexcept {
  Ref pending = Ref::steal(PyErr_GetRaisedException());
  finish(object);
  if (pending) PyErr_SetRaisedException(pending.release());
}

// queue.extend(parents)
void extend(std::deque<Ref>& queue, PyObject* parents) {
  if (PyList_CheckExact(parents) || PyTuple_CheckExact(parents)) {
    const Py_ssize_t size = PySequence_Fast_GET_SIZE(parents);
    for (Py_ssize_t i = 0; i < size; ++i) queue.push_back(Ref::borrow(PySequence_Fast_GET_ITEM(parents, i)));
    return;
  }
  host::for_each(parents, [&](PyObject* parent) { queue.push_back(Ref::borrow(parent)); });
}

// self.repo.get_shallow(): the commits `.git/shallow` names, which git walks
// as commits without parents (their parents are not in a shallow clone). A
// repository object without the method has none.
Ref shallow_commits(PyObject* service) {
  static const host::Interned get_shallow{"get_shallow"};
  Ref repo = Service::from(service).repo();
  Ref method = host::getattr_optional(repo.get(), get_shallow);
  return method ? host::call(method.get(), {}) : host::new_set();
}

// The walk's body, from where it stopped to its next item: queue the parents
// of the commit handed out last (none for a commit at the shallow cut), then
// take ids from the front of the queue until one has not been seen, and read
// its commit. False when the queue is empty or the limit reached.
bool run_to_next_item(WalkState& walk, Ref& id, Ref& commit) {
  static const host::Interned parents{"parents"};
  if (!walk.shallow) walk.shallow = shallow_commits(walk.service.get());
  if (walk.last) {
    Ref last = std::move(walk.last);
    Ref last_id = std::move(walk.last_id);
    if (host::check(PySequence_Contains(walk.shallow.get(), last_id.get())) == 0) {
      Ref last_parents = host::getattr(last.get(), parents);
      extend(walk.queue, last_parents.get());
    }
  }
  while (!walk.queue.empty() && (walk.max_count < 0 || walk.count < walk.max_count)) {
    Ref next = std::move(walk.queue.front());
    walk.queue.pop_front();
    if (walk.seen.contains(next.get())) continue;
    walk.seen.add(next.get());
    Ref repo = Service::from(walk.service.get()).repo();
    commit = host::getitem(repo.get(), next.get());
    ++walk.count;
    walk.last = commit.copy();
    walk.last_id = next.copy();
    id = std::move(next);
    return true;
  }
  return false;
}

// next(walk) as a host generator answers it: the next pair, or false once the
// body has ended. The walk is finished by the end of the body and by any
// error raised in it; a StopIteration escaping the body becomes RuntimeError.
bool advance(WalkObject& object, Ref& id, Ref& commit) {
  if (object.state == State::Running) host::raise(PyExc_ValueError, "generator already executing");
  if (object.state == State::Finished) return false;
  object.state = State::Running;
  bool more = false;
  try {
    more = run_to_next_item(*object.walk, id, commit);
  } catch (...) {
    finish_keeping_error(object);
    if (PyErr_ExceptionMatches(PyExc_StopIteration)) {
      host::raise_from_pending(PyExc_RuntimeError, "generator raised StopIteration");
    }
    throw;
  }
  if (more) {
    object.state = State::Suspended;
  } else {
    finish(object);
  }
  return more;
}

Ref pair(Ref first, Ref second) {
  Ref tuple = Ref::check(PyTuple_New(2));
  PyTuple_SET_ITEM(tuple.get(), 0, first.release());
  PyTuple_SET_ITEM(tuple.get(), 1, second.release());
  return tuple;
}

PyObject* walk_iternext(PyObject* self) noexcept {
  return host::entry([&]() -> Ref {
    Ref id;
    Ref commit;
    if (!advance(as_walk(self), id, commit)) return Ref();
    return pair(std::move(id), std::move(commit));
  });
}

PyObject* walk_send(PyObject* self, PyObject* value) noexcept {
  return host::entry([&]() -> Ref {
    WalkObject& walk = as_walk(self);
    if (walk.state == State::Created && value != Py_None) {
      host::raise(PyExc_TypeError, "can't send non-None value to a just-started generator");
    }
    Ref id;
    Ref commit;
    if (!advance(walk, id, commit)) host::raise_empty(PyExc_StopIteration);
    return pair(std::move(id), std::move(commit));
  });
}

PyObject* walk_throw(PyObject* self, PyObject* const* args, Py_ssize_t nargs) noexcept {
  return host::entry([&]() -> Ref {
    if (nargs < 1) host::raise_format(PyExc_TypeError, "throw expected at least 1 argument, got %zd", nargs);
    if (nargs > 3) host::raise_format(PyExc_TypeError, "throw expected at most 3 arguments, got %zd", nargs);
    if (nargs > 1) {
      host::check(PyErr_WarnEx(PyExc_DeprecationWarning,
                               "the (type, exc, tb) signature of throw() is deprecated, "
                               "use the single-arg signature instead.",
                               1));
    }
    Ref exception = host::thrown_exception(args[0], nargs > 1 ? args[1] : nullptr, nargs > 2 ? args[2] : nullptr);
    WalkObject& walk = as_walk(self);
    if (walk.state == State::Running) host::raise(PyExc_ValueError, "generator already executing");
    // The exception is raised where the body stands. Nothing in the body
    // catches it, so the walk ends; only a body stopped at its yield turns a
    // StopIteration into RuntimeError, as the host's generators do.
    const bool at_yield = walk.state == State::Suspended;
    if (walk.state != State::Finished) finish(walk);
    if (at_yield && PyObject_TypeCheck(exception.get(), reinterpret_cast<PyTypeObject*>(PyExc_StopIteration))) {
      host::raise_from(PyExc_RuntimeError, "generator raised StopIteration", std::move(exception));
    }
    host::reraise(std::move(exception));
  });
}

// close() raises GeneratorExit where the body stands; nothing in the body
// catches it, so closing simply ends the walk.
PyObject* walk_close(PyObject* self, PyObject*) noexcept {
  return host::entry([&]() -> Ref {
    WalkObject& walk = as_walk(self);
    if (walk.state == State::Running) host::raise(PyExc_ValueError, "generator already executing");
    if (walk.state != State::Finished) finish(walk);
    return Ref::borrow(Py_None);
  });
}

int walk_traverse(PyObject* self, visitproc visit, void* arg) noexcept {
  if (as_walk(self).walk == nullptr) return 0;
  const WalkState& walk = *as_walk(self).walk;
  Py_VISIT(walk.service.get());
  Py_VISIT(walk.last.get());
  Py_VISIT(walk.last_id.get());
  Py_VISIT(walk.shallow.get());
  for (const Ref& id : walk.queue) Py_VISIT(id.get());
  Py_VISIT(walk.seen.host_set());
  return 0;
}

int walk_clear(PyObject* self) noexcept {
  finish(as_walk(self));
  return 0;
}

void walk_dealloc(PyObject* self) noexcept {
  PyObject_GC_UnTrack(self);
  WalkObject& object = as_walk(self);
  if (object.weakrefs != nullptr) PyObject_ClearWeakRefs(self);
  finish(object);
  Py_TYPE(self)->tp_free(self);
}

PyMethodDef walk_methods[] = {
    {"send", walk_send, METH_O,
     "send(arg) -> send 'arg' into generator,\nreturn next yielded value or raise StopIteration."},
    {"throw", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(walk_throw)), METH_FASTCALL,
     "throw(value)\nthrow(type[,value[,tb]])\n\nRaise exception in generator, return next yielded value or raise\n"
     "StopIteration.\nthe (type, val, tb) signature is deprecated, \nand may be removed in a future version of "
     "Python."},
    {"close", walk_close, METH_NOARGS, "close() -> raise GeneratorExit inside generator."},
    {nullptr, nullptr, 0, nullptr},
};

PyTypeObject walk_type = [] {
  PyTypeObject type = host::blank_type();
  type.tp_name = "git_service_cython.generator";
  type.tp_basicsize = sizeof(WalkObject);
  type.tp_dealloc = walk_dealloc;
  type.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_DISALLOW_INSTANTIATION;
  type.tp_traverse = walk_traverse;
  type.tp_clear = walk_clear;
  type.tp_weaklistoffset = offsetof(WalkObject, weakrefs);
  type.tp_iter = PyObject_SelfIter;
  type.tp_iternext = walk_iternext;
  type.tp_methods = walk_methods;
  return type;
}();

// The walk's type, readied the first time a walk is made.
PyTypeObject* ready_walk_type() {
  if (!PyType_HasFeature(&walk_type, Py_TPFLAGS_READY)) host::check(PyType_Ready(&walk_type));
  return &walk_type;
}

}  // namespace

Ref make_walk(Service& self, PyObject* head_sha, int max_count) {
  PyTypeObject* type = ready_walk_type();
  auto walk = std::make_unique<WalkState>();
  walk->service = Ref::borrow(self.object());
  walk->queue.push_back(Ref::borrow(head_sha));
  walk->max_count = max_count;
  WalkObject* object = PyObject_GC_New(WalkObject, type);
  if (object == nullptr) throw host::Error{};
  object->weakrefs = nullptr;
  object->state = State::Created;
  object->walk = walk.release();
  PyObject_GC_Track(object);
  return Ref::steal(reinterpret_cast<PyObject*>(object));
}

Ref iter_commits_optimized(Service& self, PyObject* head_sha, int max_count) {
  return make_walk(self, head_sha, max_count);
}

WalkItems::WalkItems(Ref walk) : native_(Py_IS_TYPE(walk.get(), &walk_type)) {
  iterator_ = native_ ? std::move(walk) : Ref::check(PyObject_GetIter(walk.get()));
}

bool WalkItems::next(Ref& id, Ref& commit) {
  if (native_) return advance(as_walk(iterator_.get()), id, commit);
  Ref item = Ref::steal(PyIter_Next(iterator_.get()));
  if (!item) {
    if (PyErr_Occurred()) throw host::Error{};
    return false;
  }
  auto [first, second] = host::unpack_pair(item.get());
  id = std::move(first);
  commit = std::move(second);
  return true;
}

WalkItems walk_from(Service& self, PyObject* head, int max_count) {
  static const host::Interned iter_commits{"_iter_commits_optimized"};
  Ref limit = host::integer(max_count);
  return WalkItems(host::call_method(self.object(), iter_commits, {head, limit.get()}));
}

}  // namespace history
