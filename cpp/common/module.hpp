// A module's entry point and its State: the multi-phase initialisation whose
// exec slot runs the module's body (guarded), the State each load of a module
// keeps for the life of the process, and the module globals through which
// host names are read at call time.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "entry.hpp"
#include "names.hpp"

namespace kmb {

// The module's slots: the body below runs in the exec slot. A module keeps
// state of its own (its module state points at it, each class reaches it
// through the module), but the host layer below pybind11 is process-wide, so
// it loads in the main interpreter only.
#if PY_VERSION_HEX >= 0x030D0000
#define KMB_MODULE_EXTRA_SLOTS \
  {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED}, {Py_mod_gil, Py_MOD_GIL_USED},
#elif PY_VERSION_HEX >= 0x030C0000
#define KMB_MODULE_EXTRA_SLOTS {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
#else
#define KMB_MODULE_EXTRA_SLOTS
#endif

// Runs at the start of the exec slot: an ImportError unless in the main
// interpreter (where the wait for the GIL in another interpreter would never
// end), then the exit watch.
bool module_may_load(PyObject* module);

// Entry point `PyInit_<name>` of an extension module whose body fills
// `variable`, the module. Unlike PYBIND11_MODULE, a failure while loading
// reaches the importer as the very error raised (an ImportError naming the
// missing host name, say), not wrapped in a generic "initialization failed".
// The module state is one pointer, to the module's State (see keep_state).
// Whatever the modules' calls need made once (host names, the Enum class,
// NumPy's C API) is made here, by the body, not on a first call.
#define KMB_MODULE(name, variable)                                                                        \
  static void kmb_module_body_##name(::pybind11::module_&);                                               \
  KMB_ENTRY static int kmb_module_exec_##name(PyObject* module) {                                         \
    return ::kmb::guarded(-1, [module] {                                                                  \
      if (!::kmb::module_may_load(module)) {                                                              \
        return -1;                                                                                        \
      }                                                                                                   \
      ::pybind11::detail::ensure_internals();                                                             \
      auto m = ::pybind11::reinterpret_borrow<::pybind11::module_>(module);                               \
      kmb_module_body_##name(m);                                                                          \
      return 0;                                                                                           \
    });                                                                                                   \
  }                                                                                                       \
  extern "C" PYBIND11_EXPORT PyObject* PyInit_##name() {                                                  \
    PYBIND11_CHECK_PYTHON_VERSION                                                                         \
    static PyModuleDef_Slot slots[] = {{Py_mod_exec, reinterpret_cast<void*>(&kmb_module_exec_##name)},   \
                                       KMB_MODULE_EXTRA_SLOTS{0, nullptr}};                               \
    static PyModuleDef def{                                                                               \
        PyModuleDef_HEAD_INIT, #name, nullptr, sizeof(void*), nullptr, slots, nullptr, nullptr, nullptr}; \
    return PyModuleDef_Init(&def);                                                                        \
  }                                                                                                       \
  void kmb_module_body_##name(::pybind11::module_& variable)

// Makes a State of type `S` (from `fields`) the module's own, for as long as
// the process lives: the classes and functions of a module may outlive the
// module object (dropped from sys.modules, say), and they keep using it. Each
// load of a module (a re-import after it was dropped from sys.modules) has a
// State of its own. The State is never deleted (see Kept).
template <typename S, typename... A>
S& keep_state(const py::module_& module, A&&... fields) {
  auto* state = new S{std::forward<A>(fields)...};
  *static_cast<void**>(PyModule_GetState(module.ptr())) = state;
  return *state;
}

// The State of the module that defined class `cls` (or, for a module, its own).
[[noreturn]] void no_module_state();

template <typename S>
const S& state_of_module(PyObject* module) {
  void* slot = module == nullptr ? nullptr : PyModule_GetState(module);
  const S* state = slot == nullptr ? nullptr : *static_cast<S* const*>(slot);
  if (state == nullptr) {
    no_module_state();
  }
  return *state;
}

template <typename S>
const S& state_of_class(PyTypeObject* cls) {
  return state_of_module<S>(reinterpret_cast<PyHeapTypeObject*>(cls)->ht_module);
}

// How a module's namespace tells that it changed. Up to Python 3.11 every
// change of a dict gives it a new version tag, unique in the process. From
// 3.12 the tag is deprecated, and a dict watcher tells of changes instead:
// one watcher serves the four modules (the interpreter has few of them), and
// every change of a namespace it watches counts one up in `generation`.
struct NamespaceWatch {
  int watcher;
  std::uint64_t generation;  // from 1; a change of any watched namespace counts it up
};

// The watch the modules share: made by the first one that loads, found by
// the others in the interpreter's dict; null when the interpreter has no
// watcher left (the modules then read their namespaces every time).
NamespaceWatch* namespace_watch();

// What every module's State holds: the module's namespace, read at call time
// the way a Python module's code reads its globals, and the Enum metaclass.
// Host names are bound in the namespace once at load, and a test or a user
// may rebind them (a module attribute), which the code then sees.
class ModuleState {
 public:
  explicit ModuleState(const py::module_& module);

  // The global `name` as a new reference, NameError when it is gone. Never a
  // borrowed one: Python code that runs while the caller still uses the value
  // (an order's property, the host's converter) may rebind the name and drop
  // the old value. Where the value is, per name, is remembered until the
  // namespace changes in any way (a name bound, rebound or deleted).
  py::object global(PyObject* name) const {
    const std::uint64_t version = namespace_version();
    const Remembered* known = remembered(name);
    if (known != nullptr && known->version == version && version != 0) {
      return py::reinterpret_borrow<py::object>(known->value);
    }
    return look_up(name, version);
  }

  // enum.EnumMeta, taken at load (see enum_member.hpp).
  const py::object& enum_meta() const { return enum_meta_; }

 private:
  // The value the namespace held for `name` at `version`. Borrowed: while the
  // version stands, the namespace has not changed and still holds it; once the
  // namespace changes, the version never comes back and the pointer is never
  // read again. So a remembered slot keeps nothing alive that a user rebound or
  // deleted.
  struct Remembered {
    py::object name;  // held, so that no other string takes its address
    std::uint64_t version = 0;
    PyObject* value = nullptr;
  };
  static constexpr std::size_t kSlots = 64;  // a power of two
  static constexpr std::size_t kProbes = 4;

  // 0 when the namespace's changes cannot be told: nothing is remembered.
  std::uint64_t namespace_version() const {
#if PY_VERSION_HEX >= 0x030C0000
    return watch_ == nullptr ? 0 : watch_->generation;
#else
    return reinterpret_cast<PyDictObject*>(namespace_.ptr())->ma_version_tag;
#endif
  }
  static std::size_t slot_of(PyObject* name) {
    const auto address = reinterpret_cast<std::uintptr_t>(name);
    return static_cast<std::size_t>((address >> 4) ^ (address >> 11)) & (kSlots - 1);
  }
  const Remembered* remembered(PyObject* name) const {
    for (std::size_t i = 0, slot = slot_of(name); i < kProbes; ++i, slot = (slot + 1) & (kSlots - 1)) {
      if (remembered_[slot].name.ptr() == name) {
        return &remembered_[slot];
      }
    }
    return nullptr;
  }
  // Reads the namespace and remembers what it holds under `version`, the
  // namespace's version before the read.
  py::object look_up(PyObject* name, std::uint64_t version) const;

  py::object namespace_;
  py::object enum_meta_;
#if PY_VERSION_HEX >= 0x030C0000
  const NamespaceWatch* watch_ = nullptr;
#endif
  mutable std::array<Remembered, kSlots> remembered_;
};

// `from <module> import <name>` into the module's namespace: ImportError when
// the module or the name is missing.
py::object import_name(const py::module_& into, const char* module, const char* name);

}  // namespace kmb
