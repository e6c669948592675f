// Argument binding: a vectorcall argument list bound to a Python signature,
// with the interpreter's own error messages. One Signature per callable is
// the one definition of its parameters: the body binds with it, and the class
// builder shows it as the callable's text signature (class_builder.hpp).
//
//   // can_submit_order(self, order, account=None)
//   inline const Signature<2> can_submit_order{"can_submit_order", {"order", "|account=None"}};
//
//   py::object body(const State& st, py::handle self, const Call& c) {
//     auto [order, account] = bind(can_submit_order, c);  // account: null when not given
//     ...
//   }
//
// Parameters are written as NumPy's argument parser writes them ("|" optional
// from there on, "$" keyword-only from there on; see parameters.hpp), with
// the default the body applies shown after "=".
#pragma once

#include <array>
#include <cstddef>

#include "calls.hpp"
#include "parameters.hpp"

namespace kmb {

// A view over a vectorcall argument list.
struct Call {
  PyObject* const* args;
  Py_ssize_t nargs;
  PyObject* kwnames;
};

// The signature `fname(p0, p1, ..., **varkw)`. With `varkw`, unknown keywords
// are collected in a dict (only created when there are some); without it they
// are refused with the interpreter's own wording. Constant-initialised.
template <std::size_t N>
struct Signature {
  constexpr Signature(const char* fname, const std::array<const char*, N>& names, const char* varkw = nullptr)
      : fname(fname),
        names(names),
        varkw(varkw),
        required(parameters::count_required(names.data(), N)),
        positional(parameters::count_positional(names.data(), N)) {}

  const char* fname;
  std::array<const char*, N> names;  // as written, with "|", "$" and "=default"
  const char* varkw;
  std::size_t required;    // the fewest positional arguments
  std::size_t positional;  // the most positional arguments
  // The bare names as interned strings, made on the first call given keywords.
  mutable Kept<std::array<py::object, N>> interned{};
};

void bind_args(const char* fname, const char* const* names, py::object* interned, std::size_t n, std::size_t required,
               std::size_t positional, bool varkw, const Call& call, py::handle* out, py::object* extra);

// The arguments of `call` in parameter order, null where an optional one was
// not given; unknown keywords into `*extra` when the signature takes them.
template <std::size_t N>
std::array<py::handle, N> bind(const Signature<N>& sig, const Call& call, py::object* extra = nullptr) {
  std::array<py::handle, N> out{};
  const auto nargs = static_cast<std::size_t>(PyVectorcall_NARGS(static_cast<std::size_t>(call.nargs)));
  if (call.kwnames == nullptr && nargs >= sig.required && nargs <= sig.positional) {
    // The everyday call, all arguments positional: nothing to check.
    for (std::size_t i = 0; i < nargs; ++i) {
      out[i] = call.args[i];
    }
    return out;
  }
  bind_args(sig.fname, sig.names.data(), sig.interned->data(), N, sig.required, sig.positional, sig.varkw != nullptr,
            call, out.data(), extra);
  return out;
}

// The docstring prefix that gives the callable its text signature (see
// parameters::signature_text); `bound` is "$self", "$cls" or null.
template <std::size_t N>
std::string signature_text(const Signature<N>& sig, const char* bound) {
  return parameters::signature_text(sig.fname, bound, sig.names.data(), N, sig.varkw);
}

}  // namespace kmb
