// The one guard of every entry from the interpreter into C++: a C++
// exception becomes the pending Python error, the unwinding of a thread the
// interpreter ends passes through, and the references set aside while the
// body ran are let go (see lifetime.hpp).
#pragma once

// clang-format off
#include "lifetime.hpp"  // first: it sets how pybind11 drops references
#include <pybind11/pybind11.h>
// clang-format on

#if defined(__GLIBCXX__)
#include <cxxabi.h>
#endif

// `catch (...)` would also stop the unwinding of a thread ended by
// pthread_exit, which must run to its end: this clause, put before it, lets it pass.
// The clause binds a reference to the unwinding, which glibc gives as no
// object at all; the functions that carry it are exempt from the sanitizer's
// null-reference check, which would otherwise end the thread's exit.
#if defined(__GNUC__)
#define KMB_ENTRY __attribute__((no_sanitize("null")))
#else
#define KMB_ENTRY
#endif

#if defined(__GLIBCXX__)
#define KMB_LET_THREAD_EXIT_PASS  \
  catch (abi::__forced_unwind&) { \
    throw;                        \
  }
#else
#define KMB_LET_THREAD_EXIT_PASS
#endif

namespace kmb {

namespace py = pybind11;

// Turns the C++ exception being handled into the matching pending Python error.
void set_python_error();

// What `body()` returns, or `failed` with the C++ exception it threw turned
// into the pending Python error. A thread being ended unwinds through it.
// The references set aside while the body ran are let go after it, here,
// where an unwinding passes.
template <typename R, typename F>
KMB_ENTRY R guarded(R failed, F&& body) {
  R result = failed;
  lifetime::enter();
  try {
    result = body();
  }
  KMB_LET_THREAD_EXIT_PASS
  catch (...) {
    set_python_error();
  }
  lifetime::leave();
  return result;
}

}  // namespace kmb
