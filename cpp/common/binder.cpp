#include "binder.hpp"

#include <string>
#include <vector>

namespace kmb {

namespace {

std::string plural(std::size_t n, const char* word) { return std::to_string(n) + " " + word + (n == 1 ? "" : "s"); }

[[noreturn]] void type_error(const std::string& text) {
  PyErr_SetString(PyExc_TypeError, text.c_str());
  throw py::error_already_set();
}

std::string bare(const char* written) { return std::string(parameters::parse(written).name); }

py::object intern_bare(const char* written) {
  const std::string_view name = parameters::parse(written).name;
  PyObject* text = PyUnicode_FromStringAndSize(name.data(), static_cast<Py_ssize_t>(name.size()));
  if (text != nullptr) {
    PyUnicode_InternInPlace(&text);
  }
  return steal_or_throw(text);
}

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
               std::size_t positional, bool varkw, const Call& call, py::handle* out, py::object* extra) {
  const auto nargs = static_cast<std::size_t>(PyVectorcall_NARGS(static_cast<std::size_t>(call.nargs)));
  if (nargs > positional) {
    const std::string takes = required == positional
                                  ? std::to_string(positional)
                                  : "from " + std::to_string(required) + " to " + std::to_string(positional);
    type_error(std::string(fname) + "() takes " + takes + " positional argument" + (positional == 1 ? "" : "s") +
               " but " + std::to_string(nargs) + (nargs == 1 ? " was" : " were") + " given");
  }
  for (std::size_t i = 0; i < nargs; ++i) {
    out[i] = call.args[i];
  }
  const Py_ssize_t nkw = call.kwnames == nullptr ? 0 : PyTuple_GET_SIZE(call.kwnames);
  if (nkw > 0 && n > 0 && !interned[0]) {
    for (std::size_t i = n; i-- > 0;) {  // the first name last: set means all are
      interned[i] = intern_bare(names[i]);
    }
  }
  for (Py_ssize_t k = 0; k < nkw; ++k) {
    PyObject* key = PyTuple_GET_ITEM(call.kwnames, k);
    PyObject* value = call.args[nargs + static_cast<std::size_t>(k)];
    const std::size_t i = parameter_of(key, interned, n);
    if (i < n) {
      if (out[i]) {
        type_error(std::string(fname) + "() got multiple values for argument '" + bare(names[i]) + "'");
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
  std::vector<std::string> missing;
  for (std::size_t i = 0; i < required; ++i) {
    if (!out[i]) {
      missing.push_back(bare(names[i]));
    }
  }
  if (!missing.empty()) {
    std::string list;
    for (std::size_t i = 0; i < missing.size(); ++i) {
      if (i > 0) {
        list += missing.size() == 2 ? " and " : (i + 1 == missing.size() ? ", and " : ", ");
      }
      list += "'" + missing[i] + "'";
    }
    type_error(std::string(fname) + "() missing " + plural(missing.size(), "required positional argument") + ": " +
               list);
  }
}

}  // namespace kmb
