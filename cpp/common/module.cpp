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

#if PY_VERSION_HEX >= 0x030C0000
namespace {

const char* const kWatchCapsule = "korvane_mod_bond.namespace_watch";

// The watch this library registered, when it was the first to load: its
// watcher calls back into this library.
NamespaceWatch* registered = nullptr;

int on_namespace_change(PyDict_WatchEvent /*event*/, PyObject* /*dict*/, PyObject* /*key*/, PyObject* /*value*/) {
  ++registered->generation;
  return 0;
}

// Registers the watcher and leaves the watch in the interpreter's dict for the
// other modules; null when the interpreter has no watcher left.
NamespaceWatch* register_watch(PyObject* shared) {
  auto* watch = new NamespaceWatch{-1, 1};  // never deleted: the modules watch for the life of the process
  registered = watch;
  watch->watcher = PyDict_AddWatcher(&on_namespace_change);
  if (watch->watcher < 0) {
    PyErr_Clear();
    registered = nullptr;
    delete watch;
    return nullptr;
  }
  PyObject* capsule = PyCapsule_New(watch, kWatchCapsule, nullptr);
  if (capsule == nullptr || PyDict_SetItemString(shared, kWatchCapsule, capsule) < 0) {
    PyErr_Clear();  // the watch serves this module only; another one registers its own
  }
  Py_XDECREF(capsule);
  return watch;
}

}  // namespace

NamespaceWatch* namespace_watch() {
  PyObject* shared = PyInterpreterState_GetDict(PyInterpreterState_Get());
  if (shared == nullptr) {
    PyErr_Clear();
    return nullptr;
  }
  PyObject* capsule = PyDict_GetItemString(shared, kWatchCapsule);
  if (capsule != nullptr && PyCapsule_IsValid(capsule, kWatchCapsule)) {
    return static_cast<NamespaceWatch*>(PyCapsule_GetPointer(capsule, kWatchCapsule));
  }
  return registered != nullptr ? registered : register_watch(shared);
}
#endif

ModuleState::ModuleState(const py::module_& module)
    : namespace_(module.attr("__dict__")), enum_meta_(py::module_::import("enum").attr("EnumMeta")) {
#if PY_VERSION_HEX >= 0x030C0000
  NamespaceWatch* watch = namespace_watch();
  if (watch != nullptr && PyDict_Watch(watch->watcher, namespace_.ptr()) == 0) {
    watch_ = watch;
  }
  PyErr_Clear();
#endif
}

py::object ModuleState::look_up(PyObject* name, std::uint64_t version) const {
  PyObject* found = PyDict_GetItemWithError(namespace_.ptr(), name);
  if (found == nullptr) {
    if (!PyErr_Occurred()) {
      PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
    }
    throw py::error_already_set();
  }
  auto value = py::reinterpret_borrow<py::object>(found);
  if (version != 0) {
    // Into the name's own slot, an empty one, or the first the name may take.
    std::size_t slot = slot_of(name);
    for (std::size_t i = 0, probe = slot; i < kProbes; ++i, probe = (probe + 1) & (kSlots - 1)) {
      const py::object& held = remembered_[probe].name;
      if (!held || held.ptr() == name) {
        slot = probe;
        break;
      }
    }
    Remembered& into = remembered_[slot];
    if (into.name.ptr() != name) {
      into.name = py::reinterpret_borrow<py::object>(name);  // an interned name, kept by its call site
    }
    into.version = version;
    into.value = found;
  }
  return value;
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
