#include "module.hpp"

namespace kmb {

bool module_may_load(PyObject* module) {
  if (PyInterpreterState_Get() != PyInterpreterState_Main()) {
    PyObject* name = PyModule_GetNameObject(module);
    if (name != nullptr) {
      PyErr_Format(PyExc_ImportError, "%U supports only the main interpreter", name);
      Py_DECREF(name);
    }
    return false;
  }
  lifetime::watch_exit();
  return !PyErr_Occurred();
}

void no_module_state() {
  PyErr_SetString(PyExc_RuntimeError, "korvane_mod_bond: module used before it finished loading");
  throw py::error_already_set();
}

ModuleState::ModuleState(const py::module_& module)
    : namespace_(module.attr("__dict__")), enum_meta_(py::module_::import("enum").attr("EnumMeta")) {}

py::object ModuleState::global(PyObject* name) const {
  PyObject* value = PyDict_GetItemWithError(namespace_.ptr(), name);
  if (value == nullptr) {
    if (!PyErr_Occurred()) {
      PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
    }
    throw py::error_already_set();
  }
  return py::reinterpret_borrow<py::object>(value);
}

py::object import_name(const py::module_& into, const char* module, const char* name) {
  py::object package = py::none();
  if (module[0] == '.') {
    // Relative to the package of the module being loaded, as `from .x import y`.
    py::str full = into.attr("__name__");
    package = full.attr("rpartition")(".")[py::int_(0)];
  }
  py::module_ importlib = py::module_::import("importlib");
  py::object source = importlib.attr("import_module")(module, package);
  PyObject* value = PyObject_GetAttrString(source.ptr(), name);
  if (value == nullptr) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) {
      throw py::error_already_set();
    }
    PyErr_Clear();
    PyErr_Format(PyExc_ImportError, "cannot import name '%s' from '%U'", name, source.attr("__name__").ptr());
    throw py::error_already_set();
  }
  py::object result = py::reinterpret_steal<py::object>(value);
  into.attr(name) = result;
  return result;
}

}  // namespace kmb
