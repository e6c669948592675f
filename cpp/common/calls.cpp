#include "calls.hpp"

#include <vector>

#include "names.hpp"

#if PY_VERSION_HEX >= 0x030D0000 && PY_VERSION_HEX < 0x030E0000
// What PyObject_VectorcallMethod resolves a method with: exported by the
// interpreter, declared among its internal headers from 3.13.
extern "C" PyAPI_FUNC(int) _PyObject_GetMethod(PyObject* obj, PyObject* name, PyObject** method);
#endif

namespace kmb {

Method::Method(py::handle self, PyObject* name) {
  PyObject* found = nullptr;
#if PY_VERSION_HEX < 0x030B0000
  // The case the hooks meet every day, found as _PyObject_GetMethod finds it:
  // the generic attribute look-up, a method descriptor on the class (never a
  // data descriptor), no instance attribute of its name. Up to 3.10 the
  // instance dict is a plain dict behind the type's dict offset.
  PyTypeObject* type = Py_TYPE(self.ptr());
  if (type->tp_getattro == PyObject_GenericGetAttr) {
    PyObject* descr = _PyType_Lookup(type, name);
    if (descr != nullptr && PyType_HasFeature(Py_TYPE(descr), Py_TPFLAGS_METHOD_DESCRIPTOR)) {
      callable_ = py::reinterpret_borrow<py::object>(descr);  // held: a key's __eq__ may change the class
      PyObject** slot = _PyObject_GetDictPtr(self.ptr());
      if (slot == nullptr || *slot == nullptr) {
        unbound_ = true;
        return;
      }
      const auto dict = py::reinterpret_borrow<py::object>(*slot);
      if (PyDict_GetItemWithError(dict.ptr(), name) == nullptr) {
        if (PyErr_Occurred()) {
          throw py::error_already_set();
        }
        unbound_ = true;
        return;
      }
    }
  }
#endif
#if PY_VERSION_HEX < 0x030E0000
  unbound_ = _PyObject_GetMethod(self.ptr(), name, &found) == 1;
#else
  found = PyObject_GetAttr(self.ptr(), name);  // a bound method: never this module's own
#endif
  callable_ = steal_or_throw(found);
}

py::object call_kw(py::handle fn, std::initializer_list<py::handle> positional,
                   std::initializer_list<py::handle> keywords, py::handle kwnames) {
  // One slot before the arguments, for the callee's own use (PY_VECTORCALL_ARGUMENTS_OFFSET).
  constexpr std::size_t kOnStack = 16;
  const std::size_t total = 1 + positional.size() + keywords.size();
  std::array<PyObject*, kOnStack> stack{};
  std::vector<PyObject*> heap;
  PyObject** argv = stack.data();
  if (total > kOnStack) {
    heap.resize(total);
    argv = heap.data();
  }
  std::size_t i = 1;
  for (py::handle h : positional) {
    argv[i++] = h.ptr();
  }
  for (py::handle h : keywords) {
    argv[i++] = h.ptr();
  }
  const auto npos = static_cast<std::size_t>(positional.size());
  return steal_or_throw(PyObject_Vectorcall(fn.ptr(), argv + 1, npos | PY_VECTORCALL_ARGUMENTS_OFFSET, kwnames.ptr()));
}

PyObject* format_name() { return KMB_NAME("format"); }

void raise_formatted(PyObject* exc, const char* text, py::handle arg) {
  py::object message = format(text, arg);
  PyErr_SetObject(exc, message.ptr());
  throw py::error_already_set();
}

void unpack_into(py::handle value, py::object* out, std::size_t n) {
  PyObject* v = value.ptr();
  if (PyTuple_CheckExact(v) && static_cast<std::size_t>(PyTuple_GET_SIZE(v)) == n) {
    for (std::size_t i = 0; i < n; ++i) {
      out[i] = py::reinterpret_borrow<py::object>(PyTuple_GET_ITEM(v, static_cast<Py_ssize_t>(i)));
    }
    return;
  }
  PyObject* iterator = PyObject_GetIter(v);
  if (iterator == nullptr) {
    if (PyErr_ExceptionMatches(PyExc_TypeError) && Py_TYPE(v)->tp_iter == nullptr && !PySequence_Check(v)) {
      PyErr_Clear();
      PyErr_Format(PyExc_TypeError, "cannot unpack non-iterable %.200s object", Py_TYPE(v)->tp_name);
    }
    throw py::error_already_set();
  }
  py::object it = py::reinterpret_steal<py::object>(iterator);
  std::size_t got = 0;
  for (; got <= n; ++got) {
    PyObject* next = PyIter_Next(iterator);
    if (next == nullptr) {
      break;
    }
    if (got == n) {
      Py_DECREF(next);
      PyErr_Format(PyExc_ValueError, "too many values to unpack (expected %zu)", n);
      throw py::error_already_set();
    }
    out[got] = py::reinterpret_steal<py::object>(next);
  }
  if (PyErr_Occurred()) {
    throw py::error_already_set();
  }
  if (got < n) {
    PyErr_Format(PyExc_ValueError, "not enough values to unpack (expected %zu, got %zu)", n, got);
    throw py::error_already_set();
  }
}

}  // namespace kmb
