// Python's own arithmetic, truth and comparisons, as the operators evaluate
// them; a float with a float (or an exact int) is worked out right here, as
// float's own slots would, everything else goes through the C-API.
#pragma once

#include "calls.hpp"

namespace kmb {

// The two operands as doubles when float arithmetic on them is what Python
// would do: an exact float with an exact float or an exact int (which float
// arithmetic converts with PyLong_AsDouble, as here). Otherwise, or when the
// int does not fit a double, false: the generic path then decides, and raises.
inline bool float_operands(PyObject* a, PyObject* b, double& x, double& y) {
  const bool fa = PyFloat_CheckExact(a);
  const bool fb = PyFloat_CheckExact(b);
  if (!(fa || fb) || !(fa || PyLong_CheckExact(a)) || !(fb || PyLong_CheckExact(b))) {
    return false;
  }
  x = fa ? PyFloat_AS_DOUBLE(a) : PyLong_AsDouble(a);
  y = fb ? PyFloat_AS_DOUBLE(b) : PyLong_AsDouble(b);
  if ((x == -1.0 || y == -1.0) && PyErr_Occurred()) {
    PyErr_Clear();
    return false;
  }
  return true;
}

inline py::object float_of(double v) { return steal_or_throw(PyFloat_FromDouble(v)); }

// `a <op> b` through `generic` (PyNumber_Add, PyNumber_InPlaceAdd, ...), or
// `op` on two float operands. Floats have no in-place forms, so `a += b` on
// them is `a + b`.
template <PyObject* (*Generic)(PyObject*, PyObject*), typename Op>
py::object arithmetic(py::handle a, py::handle b, Op op) {
  double x, y;
  return float_operands(a.ptr(), b.ptr(), x, y) ? float_of(op(x, y)) : steal_or_throw(Generic(a.ptr(), b.ptr()));
}

inline py::object add(py::handle a, py::handle b) {
  return arithmetic<PyNumber_Add>(a, b, [](double x, double y) { return x + y; });
}
inline py::object sub(py::handle a, py::handle b) {
  return arithmetic<PyNumber_Subtract>(a, b, [](double x, double y) { return x - y; });
}
inline py::object mul(py::handle a, py::handle b) {
  return arithmetic<PyNumber_Multiply>(a, b, [](double x, double y) { return x * y; });
}
// a += b, a -= b
inline py::object iadd(py::handle a, py::handle b) {
  return arithmetic<PyNumber_InPlaceAdd>(a, b, [](double x, double y) { return x + y; });
}
inline py::object isub(py::handle a, py::handle b) {
  return arithmetic<PyNumber_InPlaceSubtract>(a, b, [](double x, double y) { return x - y; });
}
inline py::object truediv(py::handle a, py::handle b) { return steal_or_throw(PyNumber_TrueDivide(a.ptr(), b.ptr())); }
inline py::object mod(py::handle a, py::handle b) { return steal_or_throw(PyNumber_Remainder(a.ptr(), b.ptr())); }
inline py::object neg(py::handle a) { return steal_or_throw(PyNumber_Negative(a.ptr())); }

// bool(x), as an `if` would test it.
inline bool truth(py::handle obj) {
  const int r = PyObject_IsTrue(obj.ptr());
  check_status(r);
  return r != 0;
}

// A number as a double when comparing it as one is exact: an exact float,
// or an exact int of at most 53 bits.
inline bool exact_double(PyObject* v, double& out) {
  if (PyFloat_CheckExact(v)) {
    out = PyFloat_AS_DOUBLE(v);
    return true;
  }
  if (PyLong_CheckExact(v)) {
    int overflow = 0;
    const long long n = PyLong_AsLongLongAndOverflow(v, &overflow);
    if (overflow == 0 && n >= -(1LL << 53) && n <= (1LL << 53)) {
      out = static_cast<double>(n);
      return true;
    }
    PyErr_Clear();
  }
  return false;
}

// bool(a <op> b), as the operator would evaluate it: no identity shortcut,
// so a NaN is unequal to itself. A float with a float or a small int is
// compared right here, as float's own comparison would.
inline bool compare(py::handle a, py::handle b, int op) {
  double x, y;
  if ((PyFloat_CheckExact(a.ptr()) || PyFloat_CheckExact(b.ptr())) && exact_double(a.ptr(), x) &&
      exact_double(b.ptr(), y)) {
    switch (op) {
      case Py_LT:
        return x < y;
      case Py_LE:
        return x <= y;
      case Py_EQ:
        return x == y;
      case Py_NE:
        return x != y;
      case Py_GT:
        return x > y;
      default:
        return x >= y;
    }
  }
  return truth(steal_or_throw(PyObject_RichCompare(a.ptr(), b.ptr(), op)));
}

}  // namespace kmb
