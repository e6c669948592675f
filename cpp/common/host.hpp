// What every extension module of the package needs to meet the host framework:
// Python calls made the way the interpreter makes them, arguments bound like a
// Python signature, classes derived from the host's pure-Python classes, and
// the module globals through which host names are reached at call time.
#pragma once

#if defined(PYBIND11_VERSION_MAJOR)
#error "host.hpp must come before any pybind11 header: it sets how references are dropped"
#endif

#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <pthread.h>

#include <atomic>

#if defined(__GLIBCXX__)
#include <cxxabi.h>
#endif

// ------------------------------------------------ references at thread exit
//
// When the interpreter shuts down, a daemon thread that still runs our code
// is ended inside the interpreter (pthread_exit while it waits for the GIL),
// and the unwinding runs the destructors of the C++ frames above it without
// the GIL, while the main thread tears the interpreter down. A reference
// dropped there could free an object under the main thread's feet, so from
// the moment the interpreter runs its exit handlers, references dropped by
// any thread but the one shutting down are left as they are: the process is
// ending and keeps no memory anyway. Every reference our holders (pybind11's
// objects, ours) drop goes through Py_XDECREF, which is routed here below,
// before pybind11 is included.
namespace kmb::exit_guard {

// Set once, by an exit handler of the interpreter, on the thread shutting it down.
extern std::atomic<bool> shutting_down;
extern pthread_t shutting_down_thread;

inline bool leave_references() {
  return shutting_down.load(std::memory_order_acquire) && pthread_equal(pthread_self(), shutting_down_thread) == 0;
}

inline void drop_reference(PyObject* op) {
  if (op != nullptr && !(shutting_down.load(std::memory_order_relaxed) && leave_references())) {
    Py_DECREF(op);
  }
}

// Registers the exit handler that sets `shutting_down` (once per process).
void watch();

}  // namespace kmb::exit_guard

#undef Py_XDECREF
#define Py_XDECREF(op) ::kmb::exit_guard::drop_reference(_PyObject_CAST(op))

#include <pybind11/pybind11.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <utility>
#include <vector>

namespace kmb {

namespace py = pybind11;

// --------------------------------------------------- what outlives a call
//
// Everything the modules keep beyond a call (a module's State, interned
// names, numbers, Enum members, the layouts of dtypes seen) is held the same
// way: as pybind11 objects, strong references, inside storage that is never
// destroyed. Static storage is destroyed after the interpreter has ended,
// when no reference may be dropped any more; the process is ending and keeps
// no memory anyway. In static storage that is a `Kept` value; a module's State
// is made by keep_state, below, and left on the heap.
template <typename T>
class Kept {
 public:
  Kept() : value_() {}
  template <typename A, typename... More>
  explicit Kept(A&& first, More&&... more) : value_(std::forward<A>(first), std::forward<More>(more)...) {}
  Kept(const Kept&) = delete;
  Kept& operator=(const Kept&) = delete;
  ~Kept() {}  // NOLINT(modernize-use-equals-default): the value stays as it is, on purpose

  T& operator*() { return value_; }
  const T& operator*() const { return value_; }
  T* operator->() { return &value_; }
  const T* operator->() const { return &value_; }

 private:
  union {
    T value_;
  };
};

// ---------------------------------------------------------------- calls

// New reference from a C-API call, or the pending Python error thrown.
inline py::object steal_or_throw(PyObject* result) {
  if (result == nullptr) {
    throw py::error_already_set();
  }
  return py::reinterpret_steal<py::object>(result);
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

// fn(*positional, **dict(zip(kwnames, keywords))) with a tuple of interned names.
py::object call_kw(py::handle fn, std::initializer_list<py::handle> positional,
                   std::initializer_list<py::handle> keywords, py::handle kwnames);

inline py::object get_attr(py::handle obj, py::handle name) {
  return steal_or_throw(PyObject_GetAttr(obj.ptr(), name.ptr()));
}

// obj[key]
inline py::object get_item(py::handle obj, py::handle key) {
  return steal_or_throw(PyObject_GetItem(obj.ptr(), key.ptr()));
}

inline void set_attr(py::handle obj, py::handle name, py::handle value) {
  if (PyObject_SetAttr(obj.ptr(), name.ptr(), value.ptr()) != 0) {
    throw py::error_already_set();
  }
}

// ------------------------------------------------- Python's own arithmetic

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

inline py::object add(py::handle a, py::handle b) {
  double x, y;
  return float_operands(a.ptr(), b.ptr(), x, y) ? float_of(x + y) : steal_or_throw(PyNumber_Add(a.ptr(), b.ptr()));
}
inline py::object sub(py::handle a, py::handle b) {
  double x, y;
  return float_operands(a.ptr(), b.ptr(), x, y) ? float_of(x - y) : steal_or_throw(PyNumber_Subtract(a.ptr(), b.ptr()));
}
inline py::object mul(py::handle a, py::handle b) {
  double x, y;
  return float_operands(a.ptr(), b.ptr(), x, y) ? float_of(x * y) : steal_or_throw(PyNumber_Multiply(a.ptr(), b.ptr()));
}
inline py::object truediv(py::handle a, py::handle b) { return steal_or_throw(PyNumber_TrueDivide(a.ptr(), b.ptr())); }
inline py::object mod(py::handle a, py::handle b) { return steal_or_throw(PyNumber_Remainder(a.ptr(), b.ptr())); }
inline py::object neg(py::handle a) { return steal_or_throw(PyNumber_Negative(a.ptr())); }

// bool(x), as an `if` would test it.
inline bool truth(py::handle obj) {
  const int r = PyObject_IsTrue(obj.ptr());
  if (r < 0) {
    throw py::error_already_set();
  }
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

inline bool is_instance(py::handle obj, py::handle cls) {
  const int r = PyObject_IsInstance(obj.ptr(), cls.ptr());
  if (r < 0) {
    throw py::error_already_set();
  }
  return r != 0;
}

inline py::object type_of(py::handle obj) {
  return py::reinterpret_borrow<py::object>(reinterpret_cast<PyObject*>(Py_TYPE(obj.ptr())));
}

// Raises `exc` with `fmt.format(arg)`, the text built exactly as str.format builds it.
[[noreturn]] void raise_formatted(PyObject* exc, const char* fmt, py::handle arg);

// ------------------------------------------------------------ base calls

// The attribute `name` of class `base` bound to `self`, looked up along the base's
// MRO (as super() would see it), never through `self`'s own class.
py::object base_attr(py::handle base, py::handle name, py::handle self);

// The attribute `name` of class `base` as seen from class `cls` (a class method
// is bound to `cls`), looked up along the base's MRO.
py::object base_class_attr(py::handle base, py::handle name, py::handle cls);

py::object call_base_vector(py::handle base, py::handle name, py::handle self, PyObject* const* args, Py_ssize_t nargs,
                            PyObject* kwnames);

// base.name(self, *args) as a super() call from a subclass of `base` would make it.
template <typename... A>
py::object call_base(py::handle base, py::handle name, py::handle self, A... args) {
  PyObject* argv[] = {nullptr, self.ptr(), py::handle(args).ptr()...};
  return call_base_vector(base, name, self, argv + 1, 1 + sizeof...(A), nullptr);
}

// -------------------------------------------------- dates to YYYYMMDD

// convert(date) through the host's converter, checked to fit a 32-bit date field.
std::int32_t date_int(py::handle convert, py::handle date);

// ------------------------------------------------------ module entry

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

// `catch (...)` would also stop the unwinding of a thread ended by
// pthread_exit, which must run to its end: this clause, put before it, lets it pass.
// The clause binds a reference to the unwinding, which glibc gives as no
// object at all; the functions that carry it are exempt from the sanitizer's
// null-reference check, which would otherwise end the thread's exit.
#if defined(__GNUC__)
#define KMB_ENTRY __attribute__((no_sanitize("null")))
#else
#define KMB_ENTRY
#endif

#if defined(__GLIBCXX__)
#define KMB_LET_THREAD_EXIT_PASS  \
  catch (abi::__forced_unwind&) { \
    throw;                        \
  }
#else
#define KMB_LET_THREAD_EXIT_PASS
#endif

// Turns a C++ exception into the matching pending Python error.
void set_python_error();

// What `body()` returns, or `failed` with the C++ exception it threw turned
// into the pending Python error: the one guard of every entry from the
// interpreter into C++. A thread being ended unwinds through it.
template <typename R, typename F>
KMB_ENTRY R guarded(R failed, F&& body) {
  try {
    return body();
  }
  KMB_LET_THREAD_EXIT_PASS
  catch (...) {
    set_python_error();
    return failed;
  }
}

// Runs at the start of the exec slot: an ImportError unless in the main
// interpreter (where the wait for the GIL in another interpreter would never
// end), then the exit watch.
bool module_may_load(PyObject* module);

// Entry point `PyInit_<name>` of an extension module whose body fills
// `variable`, the module. Unlike PYBIND11_MODULE, a failure while loading
// reaches the importer as the very error raised (an ImportError naming the
// missing host name, say), not wrapped in a generic "initialization failed".
// The module state is one pointer, to the module's State (see keep_state).
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

// ------------------------------------------------------- module globals

// What every module's State holds: the module's namespace, read at call time
// the way a Python module's code reads its globals. Host names are bound there
// once at load, and a test or a user may rebind them (a module attribute),
// which the code then sees.
class ModuleState {
 public:
  explicit ModuleState(const py::module_& module) : namespace_(module.attr("__dict__")) {}

  // The global `name` as a new reference, NameError when it is gone. Never a
  // borrowed one: Python code that runs while the caller still uses the value
  // (an order's property, the host's converter) may rebind the name and drop
  // the old value.
  py::object global(PyObject* name) const;

 private:
  py::object namespace_;
};

// `enumeration.<name>`, `enumeration` being read from the module globals at
// call time. A member of an Enum class can be neither rebound nor deleted, so
// it is remembered for as long as the same Enum class is given; for anything
// else the attribute is read each time. Kept at its call site
// (`static Kept<EnumMember>`).
class EnumMember {
 public:
  explicit EnumMember(const char* name);
  py::object get(py::handle enumeration);

 private:
  py::object name_;
  py::object enum_;
  py::object member_;
};

// `from <module> import <name>` into the module's namespace: ImportError when
// the module or the name is missing.
py::object import_name(const py::module_& into, const char* module, const char* name);

// The interned Python string `text`. Interned names match the callee's
// parameters by identity and, stored as attributes or dict keys, are found by
// identity later.
py::object intern(const char* text);

// The tuple of interned names that a call with keywords hands the callee (the
// names in the order of the keyword values). Kept at its call site
// (`static const Kept<py::object>`).
py::object keyword_names(std::initializer_list<const char*> names);

// The interned name `text`, made once per call site.
#define KMB_NAME(text)                                                          \
  ([]() -> PyObject* {                                                          \
    static const ::kmb::Kept<::pybind11::object> interned{::kmb::intern(text)}; \
    return interned->ptr();                                                     \
  }())

// `out[0], ..., out[n - 1] = value`, with the interpreter's own messages.
void unpack_into(py::handle value, py::object* out, std::size_t n);

// `a, b, ... = value`.
template <std::size_t N>
std::array<py::object, N> unpack(py::handle value) {
  std::array<py::object, N> out;
  unpack_into(value, out.data(), N);
  return out;
}

// ------------------------------------------------------ argument binding

// A view over a vectorcall argument list.
struct Call {
  PyObject* const* args;
  Py_ssize_t nargs;
  PyObject* kwnames;
};

// Binds a call to a Python signature `fname(p0, p1, ..., **kwargs)` with the
// first `required` parameters required and the rest optional. Unset optional
// parameters are null. With `varkw`, unknown keywords are collected in `extra`
// (a dict, only created when there are some); without it they are refused with
// the interpreter's own wording.
template <std::size_t N>
struct Signature {
  const char* fname;
  std::array<const char*, N> names;
  std::size_t required = N;
  bool varkw = false;
  // The names as interned strings, made on the first call given keywords.
  mutable Kept<std::array<py::object, N>> interned{};
};

void bind_args(const char* fname, const char* const* names, py::object* interned, std::size_t n, std::size_t required,
               bool varkw, const Call& call, py::handle* out, py::object* extra);

template <std::size_t N>
std::array<py::handle, N> bind(const Signature<N>& sig, const Call& call, py::object* extra = nullptr) {
  std::array<py::handle, N> out{};
  const auto nargs = static_cast<std::size_t>(PyVectorcall_NARGS(static_cast<std::size_t>(call.nargs)));
  if (call.kwnames == nullptr && nargs >= sig.required && nargs <= N) {
    // The everyday call, all arguments positional: nothing to check.
    for (std::size_t i = 0; i < nargs; ++i) {
      out[i] = call.args[i];
    }
    return out;
  }
  bind_args(sig.fname, sig.names.data(), sig.interned->data(), N, sig.required, sig.varkw, call, out.data(), extra);
  return out;
}

// ---------------------------------------------------- fast-call entries

using MethodFn = PyObject* (*)(PyObject*, PyTypeObject*, PyObject* const*, std::size_t, PyObject*);
using FastFn = PyObject* (*)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
using UnaryFn = PyObject* (*)(PyObject*, PyObject*);

// Each entry runs its body guarded (see `guarded`). The module's State comes
// from the class that defines the method, or from the module that a function
// or property getter is bound to.

// METH_METHOD | METH_FASTCALL | METH_KEYWORDS entry (a method or class
// method) for `py::object Body(const S&, py::handle self, const Call&)`.
template <typename S, py::object (*Body)(const S&, py::handle, const Call&)>
KMB_ENTRY PyObject* as_method(PyObject* self, PyTypeObject* cls, PyObject* const* args, std::size_t nargsf,
                              PyObject* kwnames) {
  return guarded<PyObject*>(nullptr, [&] {
    return Body(state_of_class<S>(cls), self, Call{args, static_cast<Py_ssize_t>(nargsf), kwnames}).release().ptr();
  });
}

// METH_FASTCALL | METH_KEYWORDS entry of a function bound to the module (a
// static method, a module function): `Body(state, module, call)`.
template <typename S, py::object (*Body)(const S&, py::handle, const Call&)>
KMB_ENTRY PyObject* as_function(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded<PyObject*>(nullptr, [&] {
    return Body(state_of_module<S>(module), module, Call{args, nargs, kwnames}).release().ptr();
  });
}

// METH_O entry, bound to the module, used as a property getter: `Body(state, self)`.
template <typename S, py::object (*Body)(const S&, py::handle)>
KMB_ENTRY PyObject* as_getter(PyObject* module, PyObject* self) {
  return guarded<PyObject*>(nullptr, [&] { return Body(state_of_module<S>(module), self).release().ptr(); });
}

// ---------------------------------------------------------- class builder

// Builds a Python class derived from host classes out of C++ entries. The
// namespace is laid out in declaration order before the class is created (so
// that the host's metaclass, an ABCMeta for instance, sees every method and
// __new__, __module__ and __qualname__ are in place); methods and class
// methods, which need the class to exist, are put in afterwards at the same
// place.
class ClassBuilder {
 public:
  ClassBuilder(py::module_ module, const char* name, std::initializer_list<py::handle> bases);

  ClassBuilder& doc(const char* text);
  ClassBuilder& attr(const char* name, py::object value);
  ClassBuilder& method(const char* name, MethodFn fn, const char* doc = nullptr);
  ClassBuilder& classmethod(const char* name, MethodFn fn, const char* doc = nullptr);
  // A static method such as __new__: called with the class as first argument.
  ClassBuilder& staticmethod(const char* name, FastFn fn);
  ClassBuilder& property(const char* name, UnaryFn fget, const char* doc = nullptr);
  // Binds `name` to the very object already declared as `existing`.
  ClassBuilder& alias(const char* name, const char* existing);

  // Creates the class, stores it in the module under its name and returns it.
  // The class keeps the module (its defining module, as for a class made from
  // a type spec), through which its methods reach the module's State.
  py::object build();

 private:
  enum class Kind { value, method, classmethod };
  struct Entry {
    const char* name;
    Kind kind;
    py::object value;
    PyMethodDef* def;
  };
  PyMethodDef* make_def(const char* name, PyCFunction fn, int flags, const char* doc);

  py::module_ module_;
  const char* name_;
  py::tuple bases_;
  py::object doc_;
  std::vector<Entry> entries_;
};

}  // namespace kmb
