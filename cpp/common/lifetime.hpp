// How the modules let go of Python references, and how they keep what
// outlives a call. Included first of all (through host.hpp): it routes
// Py_XDECREF, which every holder of a reference (pybind11's objects, ours)
// drops through, before pybind11 is included.
#pragma once

#if defined(PYBIND11_VERSION_MAJOR)
#error "lifetime.hpp (through host.hpp) must come before any pybind11 header: it sets how references are dropped"
#endif

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <atomic>
#include <cstddef>
#include <utility>
#include <vector>

namespace kmb::lifetime {

// --------------------------------------------------- references at exit
//
// When the interpreter shuts down, a daemon thread that still runs our code
// is ended inside the interpreter (pthread_exit while it waits for the GIL),
// and the unwinding runs the destructors of the C++ frames above it without
// the GIL, while the main thread tears the interpreter down. A reference
// dropped there could free an object under the main thread's feet, so from
// the moment the interpreter runs its exit handlers, a thread that does not
// hold the GIL leaves its references as they are: the process is ending and
// keeps no memory anyway. A thread that holds the GIL (the one shutting the
// interpreter down, a daemon thread while exit handlers still run) drops
// them as ever, so nothing piles up while a slow exit handler runs.

// Set once, by an exit handler of the interpreter.
extern std::atomic<bool> shutting_down;

// Whether this thread holds the GIL (asked only once shutting_down is set).
bool holds_gil();

// Registers the exit handler that sets `shutting_down` (once per process).
void watch_exit();

// ------------------------------------------- the last reference, deferred
//
// Freeing an object can run Python code: its __del__, a weak reference's
// callback, the finalisers of what it holds. Python code may let the GIL go,
// and a thread that takes it back while the interpreter shuts down is ended
// right there by a forced unwinding. If that Python code runs inside a C++
// destructor, which may not throw, the unwinding stops there and the process
// aborts (std::terminate). So inside an entry from the interpreter (see
// `guarded`) the last reference to such an object, dropped by a destructor,
// is set aside, and let go when the entry's body has returned, in a frame
// the unwinding can pass. Objects that free without running Python code
// (exact floats, ints, strings, bytes, and short exact tuples that take nothing
// else with them) go at once. Everything here runs under the GIL, which
// orders it between threads.

// How many entries are running (under the GIL, over all threads), and the
// references set aside, in the order they were dropped.
extern std::size_t entries;
extern std::vector<PyObject*>& deferred;

// Lets go of every reference set aside.
void drop_deferred();

// Around the body of an entry: `leave` lets go of what was set aside, in the
// entry's own frame, which an unwinding can pass.
inline void enter() { ++entries; }
inline void leave() {
  if (!deferred.empty()) {
    drop_deferred();
  }
  --entries;
}

// Whether freeing `op` surely runs no Python code: an exact float, int, str
// or bytes, the everyday temporaries.
inline bool frees_quietly(PyObject* op) {
  return PyFloat_CheckExact(op) || PyLong_CheckExact(op) || PyUnicode_CheckExact(op) || PyBytes_CheckExact(op);
}

void drop_reference_slow(PyObject* op);

// Every Py_XDECREF of the modules: one that only counts down (the object has
// other owners) or frees an everyday temporary, at once; any other last one,
// and every one while the interpreter shuts down, by the rules above.
inline void drop_reference(PyObject* op) {
  if (op == nullptr) {
    return;
  }
  if (!shutting_down.load(std::memory_order_relaxed) && (Py_REFCNT(op) > 1 || frees_quietly(op))) {
    Py_DECREF(op);
    return;
  }
  drop_reference_slow(op);
}

}  // namespace kmb::lifetime

#undef Py_XDECREF
#define Py_XDECREF(op) ::kmb::lifetime::drop_reference(_PyObject_CAST(op))

namespace kmb {

// --------------------------------------------------- what outlives a call
//
// Everything the modules keep beyond a call (a module's State, interned
// names, numbers, keyword tuples, Enum members, the layouts of dtypes seen)
// is held the same way: as pybind11 objects, strong references, inside
// storage that is never destroyed. Static storage is destroyed after the
// interpreter has ended, when no reference may be dropped any more; the
// process is ending and keeps no memory anyway. In static storage that is a
// `Kept` value; a module's State is made by keep_state and left on the heap.
//
// A Kept value in a function is constant-initialised: empty, with no
// initialiser that could run Python code under the C++ initialisation guard
// (a thread that runs Python code there may let the GIL go, and another
// thread waiting on the guard with the GIL would never let it back). A Kept
// object is made on first use, under the GIL, by `once`.
template <typename T>
class Kept {
 public:
  constexpr Kept() : value_() {}
  Kept(const Kept&) = delete;
  Kept& operator=(const Kept&) = delete;
  ~Kept() {}  // NOLINT(modernize-use-equals-default): the value stays as it is, on purpose

  T& operator*() { return value_; }
  const T& operator*() const { return value_; }
  T* operator->() { return &value_; }
  const T* operator->() const { return &value_; }

  // The value, made by `make()` while it is empty. `make` may run Python code
  // that lets the GIL go, so another thread may make it meanwhile: the first
  // one kept wins, a later one is let go.
  template <typename Make>
  T& once(Make&& make) {
    if (!value_) {
      T made = make();
      if (!value_) {
        value_ = std::move(made);
      }
    }
    return value_;
  }

 private:
  union {
    T value_;
  };
};

}  // namespace kmb
