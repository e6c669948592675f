#include "lifetime.hpp"

#include <new>
#include <vector>

namespace kmb::lifetime {

std::atomic<bool> shutting_down{false};
std::size_t entries = 0;
// Never destroyed: a daemon thread may still be inside an entry when static storage goes.
std::vector<PyObject*>& deferred = *new std::vector<PyObject*>();

namespace {

PyObject* on_exit(PyObject* /*module*/, PyObject* /*unused*/) {
  shutting_down.store(true, std::memory_order_release);
  Py_RETURN_NONE;
}

}  // namespace

bool holds_gil() {
  // The thread's own state is the one attached to the interpreter only while
  // it holds the GIL (3.9 to 3.11: the GIL holder's, process-wide; from 3.12:
  // this thread's, none while it waits).
  PyThreadState* mine = PyGILState_GetThisThreadState();
  return mine != nullptr && mine == _PyThreadState_UncheckedGet();
}

void watch_exit() {
  static bool registered = false;
  if (registered) {
    return;
  }
  // Python's exit handlers run on the thread that shuts the interpreter down,
  // before daemon threads can be ended.
  static PyMethodDef def{"_korvane_mod_bond_exit_watch", on_exit, METH_NOARGS, nullptr};
  PyObject* handler = PyCFunction_New(&def, nullptr);
  PyObject* atexit = handler == nullptr ? nullptr : PyImport_ImportModule("atexit");
  PyObject* done = atexit == nullptr ? nullptr : PyObject_CallMethod(atexit, "register", "O", handler);
  Py_XDECREF(done);
  Py_XDECREF(atexit);
  Py_XDECREF(handler);
  registered = done != nullptr;
}

void drop_deferred() {
  std::vector<PyObject*> batch;
  while (!deferred.empty()) {
    // What these let go of (a __del__ that drops more) waits for the next round.
    batch.swap(deferred);
    for (PyObject* op : batch) {
      Py_DECREF(op);
    }
    batch.clear();
  }
  deferred.swap(batch);  // the list keeps its room
}

namespace {

// How many times `item` stands in the tuple `op`: the references the tuple
// holds to it.
Py_ssize_t held_by(PyObject* op, PyObject* item) {
  Py_ssize_t n = 0;
  for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(op); ++i) {
    n += PyTuple_GET_ITEM(op, i) == item ? 1 : 0;
  }
  return n;
}

// A tuple that takes nothing with it whose freeing runs Python code: each of
// its items frees quietly or has an owner besides the tuple, and so outlives
// it (a hook's (amount, flag) pair). An item standing twice in the tuple
// counts the tuple's references, not one. Only short tuples are looked
// through; a longer one is set aside like any other object.
bool tuple_frees_quietly(PyObject* op) {
  constexpr Py_ssize_t kLookedThrough = 4;
  if (!PyTuple_CheckExact(op) || PyTuple_GET_SIZE(op) > kLookedThrough) {
    return false;
  }
  for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(op); ++i) {
    PyObject* item = PyTuple_GET_ITEM(op, i);
    if (!frees_quietly(item) && Py_REFCNT(item) <= held_by(op, item)) {
      return false;
    }
  }
  return true;
}

}  // namespace

void drop_reference_slow(PyObject* op) {
  if (shutting_down.load(std::memory_order_acquire) && !holds_gil()) {
    return;  // a thread being ended by the interpreter: left as it is
  }
  if (entries > 0 && Py_REFCNT(op) == 1 && !frees_quietly(op) && !tuple_frees_quietly(op)) {
    try {
      deferred.push_back(op);
      return;
    } catch (const std::bad_alloc&) {
      // no room to set it aside: let go of it at once
    }
  }
  Py_DECREF(op);
}

}  // namespace kmb::lifetime
