// Python classes built out of C++ fast-call entries: the entries that turn
// the interpreter's calling conventions into calls of C++ bodies (each run
// guarded, see entry.hpp), and the builder that lays a class out, derived
// from host classes, with each callable's text signature taken from the
// Signature its body binds with.
#pragma once

#include <initializer_list>
#include <string>
#include <vector>

#include "binder.hpp"
#include "module.hpp"

namespace kmb {

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

// A builtin function bound to `module`, named and signed by `sig`: the
// memoised module functions and static methods are made of these.
template <std::size_t N>
py::object module_function(const py::module_& module, const Signature<N>& sig, FastFn fn);

// Builds a Python class derived from host classes out of C++ entries. The
// namespace is laid out in declaration order before the class is created (so
// that the host's metaclass, an ABCMeta for instance, sees every method and
// __new__, __module__ and __qualname__ are in place); methods and class
// methods, which need the class to exist, are put in afterwards at the same
// place. Each callable is named by its Signature and shows it as its text
// signature; its __doc__ is `doc`, or None.
class ClassBuilder {
 public:
  ClassBuilder(py::module_ module, const char* name, std::initializer_list<py::handle> bases);

  ClassBuilder& doc(const char* text);
  ClassBuilder& attr(const char* name, py::object value);
  template <std::size_t N>
  ClassBuilder& method(const Signature<N>& sig, MethodFn fn, const char* doc = nullptr) {
    return add(sig.fname, Kind::method, fn, signature_text(sig, "$self"), doc);
  }
  template <std::size_t N>
  ClassBuilder& classmethod(const Signature<N>& sig, MethodFn fn, const char* doc = nullptr) {
    return add(sig.fname, Kind::classmethod, fn, signature_text(sig, "$cls"), doc);
  }
  // A static method such as __new__: called with the class as first argument.
  template <std::size_t N>
  ClassBuilder& staticmethod(const Signature<N>& sig, FastFn fn) {
    return attr(sig.fname, steal_or_throw(PyStaticMethod_New(module_function(module_, sig, fn).ptr())));
  }
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
  ClassBuilder& add(const char* name, Kind kind, MethodFn fn, const std::string& signature, const char* doc);

  py::module_ module_;
  const char* name_;
  py::tuple bases_;
  py::object doc_;
  std::vector<Entry> entries_;
};

// A method definition that lives as long as the process (descriptors and
// functions keep a pointer to theirs), its docstring the text signature
// followed by `doc`.
PyMethodDef* method_def(const char* name, PyCFunction fn, int flags, const std::string& signature, const char* doc);

template <typename F>
PyCFunction as_cfunction(F fn) {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(fn));
}

template <std::size_t N>
py::object module_function(const py::module_& module, const Signature<N>& sig, FastFn fn) {
  PyMethodDef* def =
      method_def(sig.fname, as_cfunction(fn), METH_FASTCALL | METH_KEYWORDS, signature_text(sig, nullptr), nullptr);
  return steal_or_throw(PyCFunction_NewEx(def, module.ptr(), module.attr("__name__").ptr()));
}

}  // namespace kmb
