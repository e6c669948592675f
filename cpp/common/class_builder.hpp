// Python classes built out of C++ fast-call entries: the entries that turn
// the interpreter's calling conventions into calls of C++ bodies (each run
// guarded, see entry.hpp, its arguments bound once from its Signature, see
// binder.hpp), and the builder that lays a class out, derived from host
// classes, with each callable's text signature taken from its Signature.
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

template <auto Body>
using StateOf = typename detail::BodyOf<decltype(Body)>::State;

// Each entry runs its body guarded (see `guarded`). The module's State comes
// from the class that defines the method, or from the module that a function
// or property getter is bound to.

// METH_METHOD | METH_FASTCALL | METH_KEYWORDS entry of a method or class
// method: `Body(state, self_or_cls, arguments...)`.
template <const auto& Sig, auto Body>
KMB_ENTRY PyObject* method_entry(PyObject* self, PyTypeObject* cls, PyObject* const* args, std::size_t nargsf,
                                 PyObject* kwnames) {
  return guarded<PyObject*>(nullptr, [&] {
    const Call call{args, static_cast<Py_ssize_t>(nargsf), kwnames};
    return call_body<Sig, Body>(state_of_class<StateOf<Body>>(cls), call, py::handle(self)).release().ptr();
  });
}

// METH_FASTCALL | METH_KEYWORDS entry of a function bound to the module (a
// static method, a module function): `Body(state, arguments...)`.
template <const auto& Sig, auto Body>
KMB_ENTRY PyObject* function_entry(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded<PyObject*>(nullptr, [&] {
    return call_body<Sig, Body>(state_of_module<StateOf<Body>>(module), Call{args, nargs, kwnames}).release().ptr();
  });
}

// METH_O entry, bound to the module, used as a property getter: `Getter(state, self)`.
template <auto Getter>
KMB_ENTRY PyObject* getter_entry(PyObject* module, PyObject* self) {
  return guarded<PyObject*>(nullptr,
                            [&] { return Getter(state_of_module<StateOf<Getter>>(module), self).release().ptr(); });
}

// A method definition that lives as long as the process (descriptors and
// functions keep a pointer to theirs), its docstring the text signature
// followed by `doc`.
PyMethodDef* method_def(const char* name, PyCFunction fn, int flags, const std::string& signature, const char* doc);

template <typename F>
PyCFunction as_cfunction(F fn) {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(fn));
}

// A builtin function bound to `module`, named and signed by `Sig`, calling
// `Body(state, arguments...)`: the memoised module functions and static
// methods are made of these.
template <const auto& Sig, auto Body>
py::object module_function(const py::module_& module) {
  PyMethodDef* def = method_def(Sig.fname, as_cfunction(&function_entry<Sig, Body>), METH_FASTCALL | METH_KEYWORDS,
                                signature_text(Sig, nullptr), nullptr);
  return steal_or_throw(PyCFunction_NewEx(def, module.ptr(), module.attr("__name__").ptr()));
}

// Builds a Python class derived from host classes out of C++ entries. The
// namespace is laid out in declaration order before the class is created (so
// that the host's metaclass, an ABCMeta for instance, sees every method and
// __new__, __module__ and __qualname__ are in place); methods and class
// methods, which need the class to exist, are put in afterwards at the same
// place. Each callable is named by its Signature and shows it as its text
// signature; its __doc__ is `doc`, or None.
//
//   ClassBuilder(m, "RepoValidator", {base})
//       .method<init_params, init>()
//       .method<can_submit_order_params, can_submit_order>()
//       .build();
class ClassBuilder {
 public:
  ClassBuilder(py::module_ module, const char* name, std::initializer_list<py::handle> bases);

  ClassBuilder& doc(const char* text);
  ClassBuilder& attr(const char* name, py::object value);
  template <const auto& Sig, auto Body>
  ClassBuilder& method(const char* doc = nullptr) {
    return add(Sig.fname, Kind::method, &method_entry<Sig, Body>, signature_text(Sig, "$self"), doc);
  }
  template <const auto& Sig, auto Body>
  ClassBuilder& classmethod(const char* doc = nullptr) {
    return add(Sig.fname, Kind::classmethod, &method_entry<Sig, Body>, signature_text(Sig, "$cls"), doc);
  }
  // A static method such as __new__: called with the class as first argument.
  template <const auto& Sig, auto Body>
  ClassBuilder& staticmethod() {
    return attr(Sig.fname, steal_or_throw(PyStaticMethod_New(module_function<Sig, Body>(module_).ptr())));
  }
  // A read-only property whose getter is `Getter(state, self)`.
  template <auto Getter>
  ClassBuilder& property(const char* name, const char* doc = nullptr) {
    return add_property(name, &getter_entry<Getter>, doc);
  }
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
  ClassBuilder& add_property(const char* name, UnaryFn fget, const char* doc);

  py::module_ module_;
  const char* name_;
  py::tuple bases_;
  py::object doc_;
  std::vector<Entry> entries_;
};

// The member `name` of a class that ClassBuilder built, as its class dict
// holds it (a method descriptor, a property): the very object, which a
// lookup on an instance finds unless something overrides or shadows it.
py::object class_member(py::handle cls, const char* name);

}  // namespace kmb
