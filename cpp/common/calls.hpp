// Python calls made the way the interpreter makes them (vectorcall, methods
// resolved through the instance), and the C-API's attribute, item and
// unpacking operations, each returning a held result or throwing the pending
// Python error.
#pragma once

// clang-format off
#include "lifetime.hpp"  // first: it sets how pybind11 drops references
#include <pybind11/pybind11.h>
// clang-format on

#include <array>
#include <cstddef>
#include <initializer_list>

namespace kmb {

namespace py = pybind11;

// New reference from a C-API call, or the pending Python error thrown.
inline py::object steal_or_throw(PyObject* result) {
  if (result == nullptr) {
    throw py::error_already_set();
  }
  return py::reinterpret_steal<py::object>(result);
}

// A C-API status (0 or more: done, -1: the Python error is pending) checked.
inline void check_status(int status) {
  if (status < 0) {
    throw py::error_already_set();
  }
}

// fn(*args), made through vectorcall.
template <typename... A>
py::object call(py::handle fn, A... args) {
  PyObject* argv[] = {nullptr, py::handle(args).ptr()...};
  return steal_or_throw(
      PyObject_Vectorcall(fn.ptr(), argv + 1, sizeof...(A) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

// self.name(*args), resolved through the instance so that overrides apply.
template <typename... A>
py::object call_method(py::handle self, py::handle name, A... args) {
  PyObject* argv[] = {self.ptr(), py::handle(args).ptr()...};
  return steal_or_throw(
      PyObject_VectorcallMethod(name.ptr(), argv, (1 + sizeof...(A)) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

// self.name as a method call finds it (what PyObject_VectorcallMethod calls):
// a function or method descriptor found on the instance's class and not
// shadowed by an instance attribute, to be called with self first
// (`unbound`), or else the attribute as getattr gives it.
class Method {
 public:
  Method(py::handle self, PyObject* name);

  // Whether the lookup found `own`, a method descriptor of this module (the
  // very object its class was built with), and self may be passed to it: the
  // caller may then run that method's body directly, as calling `own` would.
  bool is(PyObject* own, py::handle self) const {
    return unbound_ && callable_.ptr() == own && PyObject_TypeCheck(self.ptr(), PyDescr_TYPE(own));
  }

  // The method found, called with `args`.
  template <typename... A>
  py::object operator()(py::handle self, A... args) const {
    PyObject* argv[] = {nullptr, self.ptr(), py::handle(args).ptr()...};
    PyObject* const* first = unbound_ ? argv + 1 : argv + 2;
    const std::size_t n = (unbound_ ? 1 : 0) + sizeof...(A);
    return steal_or_throw(PyObject_Vectorcall(callable_.ptr(), first, n | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
  }

 private:
  py::object callable_;
  bool unbound_ = false;
};

// fn(*positional, **dict(zip(kwnames, keywords))) with a tuple of interned names.
py::object call_kw(py::handle fn, std::initializer_list<py::handle> positional,
                   std::initializer_list<py::handle> keywords, py::handle kwnames);

inline py::object get_attr(py::handle obj, py::handle name) {
  return steal_or_throw(PyObject_GetAttr(obj.ptr(), name.ptr()));
}

inline void set_attr(py::handle obj, py::handle name, py::handle value) {
  check_status(PyObject_SetAttr(obj.ptr(), name.ptr(), value.ptr()));
}

// obj[key]
inline py::object get_item(py::handle obj, py::handle key) {
  return steal_or_throw(PyObject_GetItem(obj.ptr(), key.ptr()));
}

// obj[key] = value
inline void set_item(py::handle obj, py::handle key, py::handle value) {
  check_status(PyObject_SetItem(obj.ptr(), key.ptr(), value.ptr()));
}

// del obj[key]
inline void del_item(py::handle obj, py::handle key) { check_status(PyObject_DelItem(obj.ptr(), key.ptr())); }

inline bool is_instance(py::handle obj, py::handle cls) {
  const int r = PyObject_IsInstance(obj.ptr(), cls.ptr());
  check_status(r);
  return r != 0;
}

inline py::object type_of(py::handle obj) {
  return py::reinterpret_borrow<py::object>(reinterpret_cast<PyObject*>(Py_TYPE(obj.ptr())));
}

// The interned name "format".
PyObject* format_name();

// `text.format(*args)`: Python's str.format, so numbers print as Python prints them.
template <typename... A>
py::object format(const char* text, A... args) {
  return call_method(py::str(text), format_name(), args...);
}

// Raises `exc` with `text.format(arg)`, the message built exactly as str.format builds it.
[[noreturn]] void raise_formatted(PyObject* exc, const char* text, py::handle arg);

// `out[0], ..., out[n - 1] = value`, with the interpreter's own messages.
void unpack_into(py::handle value, py::object* out, std::size_t n);

// `a, b, ... = value`.
template <std::size_t N>
std::array<py::object, N> unpack(py::handle value) {
  std::array<py::object, N> out;
  unpack_into(value, out.data(), N);
  return out;
}

}  // namespace kmb
