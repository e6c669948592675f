// Python's own arithmetic, truth and comparisons, as the operators evaluate
// them; a float with a float (or an exact int) is worked out right here, as
// float's own slots would, everything else goes through the C-API.
#pragma once

#include <cmath>

#include "calls.hpp"
#if PY_VERSION_HEX < 0x030B0000
#include <longintrepr.h>  // an int's digits, read by exact_long
#endif

namespace kmb {

// An exact int's value when it fits a long long: read straight from a
// compact int (3.12 on) or an int of at most one digit (up to 3.11, as the
// interpreter's own arithmetic reads a small int: a date key, a count), else
// through the C-API.
inline bool exact_long(PyObject* v, long long& out) {
#if PY_VERSION_HEX >= 0x030C0000
  if (PyUnstable_Long_IsCompact(reinterpret_cast<PyLongObject*>(v))) {
    out = PyUnstable_Long_CompactValue(reinterpret_cast<PyLongObject*>(v));
    return true;
  }
#else
  const Py_ssize_t size = Py_SIZE(v);
  if (size == 0) {  // zero has no digit to read
    out = 0;
    return true;
  }
  if (size == 1 || size == -1) {
    out = size * static_cast<long long>(reinterpret_cast<PyLongObject*>(v)->ob_digit[0]);
    return true;
  }
#endif
  int overflow = 0;
  out = PyLong_AsLongLongAndOverflow(v, &overflow);
  if (out == -1 && PyErr_Occurred()) {
    PyErr_Clear();
    return false;
  }
  return overflow == 0;
}

// The largest magnitude of an int that a double holds exactly.
inline constexpr long long kExactInDouble = 1LL << 53;

// The other operand of float arithmetic with a float, as float's own slots
// convert it: an exact float, or an exact int (PyLong_AsDouble's value; read
// directly when the int converts exactly). Otherwise, or when the int does
// not fit a double, false: the generic path decides, and raises.
inline bool float_operand(PyObject* v, double& out) {
  if (PyFloat_CheckExact(v)) {
    out = PyFloat_AS_DOUBLE(v);
    return true;
  }
  if (!PyLong_CheckExact(v)) {
    return false;
  }
  long long n = 0;
  if (exact_long(v, n) && n >= -kExactInDouble && n <= kExactInDouble) {
    out = static_cast<double>(n);
    return true;
  }
  out = PyLong_AsDouble(v);
  if (out == -1.0 && PyErr_Occurred()) {
    PyErr_Clear();
    return false;
  }
  return true;
}

// The two operands as doubles when float arithmetic on them is what Python
// would do: an exact float with an exact float or an exact int (see
// float_operand). Otherwise false: the generic path then decides, and raises.
inline bool float_operands(PyObject* a, PyObject* b, double& x, double& y) {
  return (PyFloat_CheckExact(a) || PyFloat_CheckExact(b)) && float_operand(a, x) && float_operand(b, y);
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
// `total += amount` with a float `amount`, as Python adds a float: worked
// out here when total is an exact float or int. When the sum is total's very
// value (a day that adds 0.0), total itself is the result: no new float.
inline py::object add_float(py::handle total, double amount) {
  PyObject* t = total.ptr();
  double x = 0.0;
  if (!float_operand(t, x)) {
    return steal_or_throw(PyNumber_InPlaceAdd(t, float_of(amount).ptr()));
  }
  const double sum = x + amount;
  if (PyFloat_CheckExact(t) && sum == x && std::signbit(sum) == std::signbit(x)) {  // the very same double
    return py::reinterpret_borrow<py::object>(total);
  }
  return float_of(sum);
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
  long long n = 0;
  if (PyLong_CheckExact(v) && exact_long(v, n) && n >= -kExactInDouble && n <= kExactInDouble) {
    out = static_cast<double>(n);
    return true;
  }
  return false;
}

template <typename T>
bool compare_values(T x, T y, int op) {
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

// bool(a <op> b), as the operator would evaluate it: no identity shortcut
// but str's own (a NaN is unequal to itself). Worked out right here, as the
// types' own comparisons would: a float with a float or a small int, two ints
// that fit a long long, and a string with itself when its type compares as
// str does.
inline bool compare(py::handle a, py::handle b, int op) {
  PyObject* x = a.ptr();
  PyObject* y = b.ptr();
  if (PyFloat_CheckExact(x) || PyFloat_CheckExact(y)) {
    double dx = 0.0;
    double dy = 0.0;
    if (exact_double(x, dx) && exact_double(y, dy)) {
      return compare_values(dx, dy, op);
    }
  } else if (PyLong_CheckExact(x) && PyLong_CheckExact(y)) {
    long long lx = 0;
    long long ly = 0;
    if (exact_long(x, lx) && exact_long(y, ly)) {
      return compare_values(lx, ly, op);
    }
  } else if (x == y && (op == Py_EQ || op == Py_NE) && PyUnicode_Check(x) &&
             Py_TYPE(x)->tp_richcompare == PyUnicode_Type.tp_richcompare) {
    return op == Py_EQ;
  }
  return truth(steal_or_throw(PyObject_RichCompare(x, y, op)));
}

// bool(a <op> b) with a float `b` not yet made: compared right here when `a`
// is a float or a small int, else with `b` made and compared as above.
inline bool compare_with_float(py::handle a, double b, int op) {
  double x;
  return exact_double(a.ptr(), x) ? compare_values(x, b, op) : compare(a, float_of(b), op);
}

}  // namespace kmb
