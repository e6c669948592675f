#include "class_builder.hpp"

#include <cstring>
#include <stdexcept>

namespace kmb {

PyMethodDef* method_def(const char* name, PyCFunction fn, int flags, const std::string& signature, const char* doc) {
  std::string text = signature;
  if (doc != nullptr) {
    text += doc;
  }
  char* kept = nullptr;
  if (!text.empty()) {
    kept = new char[text.size() + 1];
    std::memcpy(kept, text.c_str(), text.size() + 1);
  }
  return new PyMethodDef{name, fn, flags, kept};
}

ClassBuilder::ClassBuilder(py::module_ module, const char* name, std::initializer_list<py::handle> bases)
    : module_(std::move(module)), name_(name), bases_(bases.size()) {
  std::size_t i = 0;
  for (py::handle b : bases) {
    bases_[i++] = py::reinterpret_borrow<py::object>(b);
  }
}

ClassBuilder& ClassBuilder::doc(const char* text) {
  doc_ = py::str(text);
  return *this;
}

ClassBuilder& ClassBuilder::attr(const char* name, py::object value) {
  entries_.push_back({name, Kind::value, std::move(value), nullptr});
  return *this;
}

ClassBuilder& ClassBuilder::add(const char* name, Kind kind, MethodFn fn, const std::string& signature,
                                const char* doc) {
  const int flags = METH_METHOD | METH_FASTCALL | METH_KEYWORDS | (kind == Kind::classmethod ? METH_CLASS : 0);
  entries_.push_back({name, kind, py::none(), method_def(name, as_cfunction(fn), flags, signature, doc)});
  return *this;
}

ClassBuilder& ClassBuilder::add_property(const char* name, UnaryFn fget, const char* doc) {
  PyMethodDef* def = method_def(name, as_cfunction(fget), METH_O, std::string(), nullptr);
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

py::object class_member(py::handle cls, const char* name) {
  PyObject* member = PyDict_GetItemString(reinterpret_cast<PyTypeObject*>(cls.ptr())->tp_dict, name);
  if (member == nullptr) {
    throw std::logic_error(std::string("class built without its member: ") + name);
  }
  return py::reinterpret_borrow<py::object>(member);
}

}  // namespace kmb
