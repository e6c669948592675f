#include "host.hpp"

#include <string>

namespace kmb {

namespace exit_guard {

std::atomic<bool> shutting_down{false};
pthread_t shutting_down_thread{};

namespace {

PyObject* on_exit(PyObject* /*module*/, PyObject* /*unused*/) {
  shutting_down_thread = pthread_self();
  shutting_down.store(true, std::memory_order_release);
  Py_RETURN_NONE;
}

}  // namespace

void watch() {
  static bool registered = false;
  if (registered) {
    return;
  }
  // Python's exit handlers run on the thread that shuts the interpreter down,
  // before daemon threads can be ended.
  static PyMethodDef def{"_korvane_mod_bond_exit_watch", on_exit, METH_NOARGS, nullptr};
  py::object handler = steal_or_throw(PyCFunction_New(&def, nullptr));
  py::module_::import("atexit").attr("register")(handler);
  registered = true;
}

}  // namespace exit_guard

bool module_may_load(PyObject* module) {
  if (PyInterpreterState_Get() != PyInterpreterState_Main()) {
    PyObject* name = PyModule_GetNameObject(module);
    if (name != nullptr) {
      PyErr_Format(PyExc_ImportError, "%U supports only the main interpreter", name);
      Py_DECREF(name);
    }
    return false;
  }
  exit_guard::watch();
  return true;
}

void no_module_state() {
  PyErr_SetString(PyExc_RuntimeError, "korvane_mod_bond: module used before it finished loading");
  throw py::error_already_set();
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

void raise_formatted(PyObject* exc, const char* fmt, py::handle arg) {
  py::str text(fmt);
  py::object message = call_method(text, KMB_NAME("format"), arg);
  PyErr_SetObject(exc, message.ptr());
  throw py::error_already_set();
}

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

std::int32_t date_int(py::handle convert, py::handle date) {
  py::object value = call(convert, date);
  py::object index = steal_or_throw(PyNumber_Index(value.ptr()));
  int overflow = 0;
  const long long v = PyLong_AsLongLongAndOverflow(index.ptr(), &overflow);
  if (v == -1 && PyErr_Occurred()) {
    throw py::error_already_set();
  }
  if (overflow != 0 || v < INT32_MIN || v > INT32_MAX) {
    PyErr_Format(PyExc_OverflowError, "date %R does not fit a YYYYMMDD date field", value.ptr());
    throw py::error_already_set();
  }
  return static_cast<std::int32_t>(v);
}

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

EnumMember::EnumMember(const char* name) : name_(intern(name)) {}

py::object EnumMember::get(py::handle enumeration) {
  if (enumeration.ptr() == enum_.ptr()) {
    return member_;
  }
  py::object member = get_attr(enumeration, name_);
  static const Kept<py::object> enum_meta{py::module_::import("enum").attr("EnumMeta")};
  if (PyType_Check(enumeration.ptr()) && is_instance(enumeration, *enum_meta) && is_instance(member, enumeration)) {
    // Both remembered before the ones they replace are let go, which may run
    // Python code that comes back here.
    py::object old_enum = std::exchange(enum_, py::reinterpret_borrow<py::object>(enumeration));
    py::object old_member = std::exchange(member_, member);
  }
  return member;
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

py::object intern(const char* text) { return steal_or_throw(PyUnicode_InternFromString(text)); }

py::object keyword_names(std::initializer_list<const char*> names) {
  py::tuple tuple(names.size());
  std::size_t i = 0;
  for (const char* name : names) {
    tuple[i++] = intern(name);
  }
  return std::move(tuple);
}

namespace {

std::string plural(std::size_t n, const char* word) { return std::to_string(n) + " " + word + (n == 1 ? "" : "s"); }

[[noreturn]] void type_error(const std::string& text) {
  PyErr_SetString(PyExc_TypeError, text.c_str());
  throw py::error_already_set();
}

}  // namespace

namespace {

// The parameter a keyword names, or n. Keyword names are nearly always
// interned, so identity finds them; equal text is the rule, and the fallback.
std::size_t parameter_of(PyObject* key, const py::object* interned, std::size_t n) {
  for (std::size_t i = 0; i < n; ++i) {
    if (key == interned[i].ptr()) {
      return i;
    }
  }
  for (std::size_t i = 0; i < n; ++i) {
    const int order = PyUnicode_Compare(key, interned[i].ptr());
    if (order == -1 && PyErr_Occurred()) {
      throw py::error_already_set();
    }
    if (order == 0) {
      return i;
    }
  }
  return n;
}

}  // namespace

void bind_args(const char* fname, const char* const* names, py::object* interned, std::size_t n, std::size_t required,
               bool varkw, const Call& call, py::handle* out, py::object* extra) {
  const auto nargs = static_cast<std::size_t>(PyVectorcall_NARGS(static_cast<std::size_t>(call.nargs)));
  if (nargs > n) {
    const std::string takes =
        required == n ? std::to_string(n) : "from " + std::to_string(required) + " to " + std::to_string(n);
    type_error(std::string(fname) + "() takes " + takes + " positional argument" + (n == 1 ? "" : "s") + " but " +
               std::to_string(nargs) + (nargs == 1 ? " was" : " were") + " given");
  }
  for (std::size_t i = 0; i < nargs; ++i) {
    out[i] = call.args[i];
  }
  const Py_ssize_t nkw = call.kwnames == nullptr ? 0 : PyTuple_GET_SIZE(call.kwnames);
  if (nkw > 0 && n > 0 && !interned[0]) {
    for (std::size_t i = n; i-- > 0;) {  // the first name last: set means all are
      interned[i] = intern(names[i]);
    }
  }
  for (Py_ssize_t k = 0; k < nkw; ++k) {
    PyObject* key = PyTuple_GET_ITEM(call.kwnames, k);
    PyObject* value = call.args[nargs + static_cast<std::size_t>(k)];
    const std::size_t i = parameter_of(key, interned, n);
    if (i < n) {
      if (out[i]) {
        type_error(std::string(fname) + "() got multiple values for argument '" + names[i] + "'");
      }
      out[i] = value;
    } else if (varkw && extra != nullptr) {
      if (!*extra) {
        *extra = py::dict();
      }
      if (PyDict_SetItem(extra->ptr(), key, value) != 0) {
        throw py::error_already_set();
      }
    } else {
      type_error(std::string(fname) + "() got an unexpected keyword argument '" + py::str(key).cast<std::string>() +
                 "'");
    }
  }
  std::vector<const char*> missing;
  for (std::size_t i = 0; i < required; ++i) {
    if (!out[i]) {
      missing.push_back(names[i]);
    }
  }
  if (!missing.empty()) {
    std::string list;
    for (std::size_t i = 0; i < missing.size(); ++i) {
      if (i > 0) {
        list += missing.size() == 2 ? " and " : (i + 1 == missing.size() ? ", and " : ", ");
      }
      list += std::string("'") + missing[i] + "'";
    }
    type_error(std::string(fname) + "() missing " + plural(missing.size(), "required positional argument") + ": " +
               list);
  }
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

KMB_ENTRY void set_python_error() {
  try {
    throw;
  }
  KMB_LET_THREAD_EXIT_PASS
  catch (py::error_already_set& e) {
    e.restore();
  }
  catch (const py::builtin_exception& e) {
    e.set_error();
  }
  catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  }
  catch (const std::exception& e) {
    PyErr_SetString(PyExc_RuntimeError, e.what());
  }
  catch (...) {
    PyErr_SetString(PyExc_RuntimeError, "unknown C++ exception");
  }
}

// ------------------------------------------------------------------ classes

ClassBuilder::ClassBuilder(py::module_ module, const char* name, std::initializer_list<py::handle> bases)
    : module_(std::move(module)), name_(name), bases_(bases.size()) {
  std::size_t i = 0;
  for (py::handle b : bases) {
    bases_[i++] = py::reinterpret_borrow<py::object>(b);
  }
}

PyMethodDef* ClassBuilder::make_def(const char* name, PyCFunction fn, int flags, const char* doc) {
  // Descriptors keep a pointer to their definition for as long as they live:
  // the definitions live as long as the process.
  return new PyMethodDef{name, fn, flags, doc};
}

ClassBuilder& ClassBuilder::doc(const char* text) {
  doc_ = py::str(text);
  return *this;
}

ClassBuilder& ClassBuilder::attr(const char* name, py::object value) {
  entries_.push_back({name, Kind::value, std::move(value), nullptr});
  return *this;
}

ClassBuilder& ClassBuilder::method(const char* name, MethodFn fn, const char* doc) {
  PyMethodDef* def = make_def(name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(fn)),
                              METH_METHOD | METH_FASTCALL | METH_KEYWORDS, doc);
  entries_.push_back({name, Kind::method, py::none(), def});
  return *this;
}

ClassBuilder& ClassBuilder::classmethod(const char* name, MethodFn fn, const char* doc) {
  PyMethodDef* def = make_def(name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(fn)),
                              METH_METHOD | METH_FASTCALL | METH_KEYWORDS | METH_CLASS, doc);
  entries_.push_back({name, Kind::classmethod, py::none(), def});
  return *this;
}

ClassBuilder& ClassBuilder::staticmethod(const char* name, FastFn fn) {
  PyMethodDef* def = make_def(name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(fn)),
                              METH_FASTCALL | METH_KEYWORDS, nullptr);
  py::object function = steal_or_throw(PyCFunction_NewEx(def, module_.ptr(), module_.attr("__name__").ptr()));
  return attr(name, steal_or_throw(PyStaticMethod_New(function.ptr())));
}

ClassBuilder& ClassBuilder::property(const char* name, UnaryFn fget, const char* doc) {
  PyMethodDef* def = make_def(name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(fget)), METH_O, nullptr);
  py::object function = steal_or_throw(PyCFunction_NewEx(def, module_.ptr(), module_.attr("__name__").ptr()));
  py::object doc_text = doc == nullptr ? py::object(py::none()) : py::object(py::str(doc));
  auto* property_type = reinterpret_cast<PyObject*>(&PyProperty_Type);
  return attr(name, call(property_type, function, py::none(), py::none(), doc_text));
}

ClassBuilder& ClassBuilder::alias(const char* name, const char* existing) {
  for (const Entry& e : entries_) {
    if (std::string(e.name) == existing && e.kind == Kind::value) {
      return attr(name, e.value);
    }
  }
  throw std::logic_error(std::string("no class member to alias: ") + existing);
}

py::object ClassBuilder::build() {
  py::dict ns;
  ns["__module__"] = module_.attr("__name__");
  ns["__qualname__"] = py::str(name_);
  if (doc_) {
    ns["__doc__"] = doc_;
  }
  for (const Entry& e : entries_) {
    ns[e.name] = e.value;  // methods hold their place with None until the class exists
  }
  py::object metaclass = type_of(bases_[0]);
  py::object cls = call(metaclass, py::str(name_), bases_, ns);
  auto* type = reinterpret_cast<PyTypeObject*>(cls.ptr());
  if (!PyType_HasFeature(type, Py_TPFLAGS_HEAPTYPE)) {
    throw std::logic_error(std::string("class built by its metaclass is not a heap type: ") + name_);
  }
  // The defining module, held by the class (and released with it) as the
  // interpreter does for a class made from a type spec.
  auto* heap_type = reinterpret_cast<PyHeapTypeObject*>(type);
  PyObject* previous = heap_type->ht_module;
  heap_type->ht_module = module_.inc_ref().ptr();
  Py_XDECREF(previous);
  for (const Entry& e : entries_) {
    if (e.kind == Kind::method) {
      set_attr(cls, py::str(e.name), steal_or_throw(PyDescr_NewMethod(type, e.def)));
    } else if (e.kind == Kind::classmethod) {
      set_attr(cls, py::str(e.name), steal_or_throw(PyDescr_NewClassMethod(type, e.def)));
    }
  }
  module_.attr(name_) = cls;
  return cls;
}

}  // namespace kmb
