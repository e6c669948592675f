#include "base_calls.hpp"

namespace kmb {

namespace {

// The attribute as found along the base's MRO, held: _PyType_Lookup lends it,
// and the Python code it runs (a __get__, the call) may rebind the class
// attribute and drop the class's own reference.
py::object lookup_in_base(py::handle base, py::handle name) {
  PyObject* descr = _PyType_Lookup(reinterpret_cast<PyTypeObject*>(base.ptr()), name.ptr());
  if (descr == nullptr) {
    PyErr_Format(PyExc_AttributeError, "type object '%.100s' has no attribute '%U'",
                 reinterpret_cast<PyTypeObject*>(base.ptr())->tp_name, name.ptr());
    throw py::error_already_set();
  }
  return py::reinterpret_borrow<py::object>(descr);
}

py::object bind_descr(const py::object& descr, PyObject* instance, PyObject* owner) {
  descrgetfunc get = Py_TYPE(descr.ptr())->tp_descr_get;
  if (get == nullptr) {
    return descr;
  }
  return steal_or_throw(get(descr.ptr(), instance, owner));
}

}  // namespace

py::object base_attr(py::handle base, py::handle name, py::handle self) {
  return bind_descr(lookup_in_base(base, name), self.ptr(), reinterpret_cast<PyObject*>(Py_TYPE(self.ptr())));
}

py::object base_class_attr(py::handle base, py::handle name, py::handle cls) {
  return bind_descr(lookup_in_base(base, name), nullptr, cls.ptr());
}

py::object call_base_vector(py::handle base, py::handle name, py::handle self, PyObject* const* args, Py_ssize_t nargs,
                            PyObject* kwnames) {
  PyObject* found = _PyType_Lookup(reinterpret_cast<PyTypeObject*>(base.ptr()), name.ptr());
  const auto offset = static_cast<std::size_t>(PY_VECTORCALL_ARGUMENTS_OFFSET);
  if (found != nullptr &&
      (PyFunction_Check(found) || PyType_HasFeature(Py_TYPE(found), Py_TPFLAGS_METHOD_DESCRIPTOR))) {
    // A plain function: call it unbound with self first, no bound method made;
    // held for the call, which may rebind the class attribute.
    auto descr = py::reinterpret_borrow<py::object>(found);
    return steal_or_throw(PyObject_Vectorcall(descr.ptr(), args, static_cast<std::size_t>(nargs) | offset, kwnames));
  }
  py::object bound = base_attr(base, name, self);
  return steal_or_throw(
      PyObject_Vectorcall(bound.ptr(), args + 1, static_cast<std::size_t>(nargs - 1) | offset, kwnames));
}

}  // namespace kmb
