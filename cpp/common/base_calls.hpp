// A base class's attributes and methods reached as super() reaches them from
// a subclass: looked up along the base's MRO, never through the instance's
// own class, so that an override in a subclass is not called back.
#pragma once

#include "calls.hpp"

namespace kmb {

// The attribute `name` of class `base` bound to `self`, looked up along the base's
// MRO (as super() would see it), never through `self`'s own class.
py::object base_attr(py::handle base, py::handle name, py::handle self);

// The attribute `name` of class `base` as seen from class `cls` (a class method
// is bound to `cls`), looked up along the base's MRO.
py::object base_class_attr(py::handle base, py::handle name, py::handle cls);

// base.name(self, *args) with a vectorcall argument list whose first entry is self.
py::object call_base_vector(py::handle base, py::handle name, py::handle self, PyObject* const* args, Py_ssize_t nargs,
                            PyObject* kwnames);

// base.name(self, *args) as a super() call from a subclass of `base` would make it.
template <typename... A>
py::object call_base(py::handle base, py::handle name, py::handle self, A... args) {
  PyObject* argv[] = {nullptr, self.ptr(), py::handle(args).ptr()...};
  return call_base_vector(base, name, self, argv + 1, 1 + sizeof...(A), nullptr);
}

}  // namespace kmb
