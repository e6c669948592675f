// Interned names, keyword tuples and other constants made once at their call
// site and kept (see Kept in lifetime.hpp: made on first use, under the GIL,
// with no C++ initialisation guard around Python code).
#pragma once

#include <initializer_list>

#include "calls.hpp"

namespace kmb {

// The interned Python string `text`. Interned names match the callee's
// parameters by identity and, stored as attributes or dict keys, are found by
// identity later.
py::object intern(const char* text);

// The tuple of interned names that a call with keywords hands the callee (the
// names in the order of the keyword values).
py::object keyword_names(std::initializer_list<const char*> names);

}  // namespace kmb

// The Python object `expr` makes, made once per call site and kept; a borrowed PyObject*.
#define KMB_KEPT(expr)                                                   \
  ([]() -> PyObject* {                                                   \
    static ::kmb::Kept<::pybind11::object> kmb_kept;                     \
    return kmb_kept.once([] { return ::pybind11::object(expr); }).ptr(); \
  }())

// The interned name `text`, made once per call site.
#define KMB_NAME(text) KMB_KEPT(::kmb::intern(text))

// The keyword-name tuple of a call, made once per call site: KMB_KEYWORDS("days").
#define KMB_KEYWORDS(...) KMB_KEPT(::kmb::keyword_names({__VA_ARGS__}))
