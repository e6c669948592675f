// Argument binding: a vectorcall argument list bound to a Signature
// (parameters.hpp), with the interpreter's own error messages, and the body
// of a callable called with the arguments bound. The Signature is the one
// definition of a callable's parameters: the entry binds with it, and the
// class builder shows it as the callable's text signature (class_builder.hpp).
// A body is a plain C++ function of its arguments:
//
//   constexpr Signature<2> can_submit_order_params{"can_submit_order", {"order", "|account=None"}};
//
//   // account: null when not given
//   py::object can_submit_order(const State& st, py::handle self, py::handle order, py::handle account) {
//     ...
//   }
//
//   ClassBuilder(m, "BondValidator", {base}).method<can_submit_order_params, can_submit_order>() ...
#pragma once

#include <array>
#include <cstddef>
#include <tuple>
#include <type_traits>
#include <utility>

#include "calls.hpp"
#include "parameters.hpp"

namespace kmb {

// A view over a vectorcall argument list.
struct Call {
  PyObject* const* args;
  Py_ssize_t nargs;
  PyObject* kwnames;
};

void bind_args(const char* fname, const char* const* names, py::object* interned, std::size_t n, std::size_t required,
               std::size_t positional, bool varkw, const Call& call, py::handle* out, py::object* extra);

namespace detail {

template <const auto& Sig>
constexpr std::size_t parameter_count = std::decay_t<decltype(Sig)>::size;

// The bare names of `Sig` as interned strings, made on the first call given
// keywords and kept (constant-initialised: see Kept).
template <const auto& Sig>
py::object* interned_names() {
  static Kept<std::array<py::object, parameter_count<Sig>>> names;
  return names->data();
}

}  // namespace detail

// The arguments of `call` in the order of the parameters of `Sig`, null where
// an optional one was not given; unknown keywords into `*extra` when the
// signature takes them.
template <const auto& Sig>
std::array<py::handle, detail::parameter_count<Sig>> bind(const Call& call, py::object* extra = nullptr) {
  constexpr std::size_t n = detail::parameter_count<Sig>;
  static_assert(parameters::well_formed(Sig.names.data(), n), "parameters written against the rules of parameters.hpp");
  std::array<py::handle, n> out{};
  const auto nargs = static_cast<std::size_t>(PyVectorcall_NARGS(static_cast<std::size_t>(call.nargs)));
  if (call.kwnames == nullptr && nargs >= Sig.required && nargs <= Sig.positional) {
    // The everyday call, all arguments positional: nothing to check.
    for (std::size_t i = 0; i < nargs; ++i) {
      out[i] = call.args[i];
    }
    return out;
  }
  bind_args(Sig.fname, Sig.names.data(), detail::interned_names<Sig>(), n, Sig.required, Sig.positional,
            Sig.varkw != nullptr, call, out.data(), extra);
  return out;
}

namespace detail {

template <typename... P>
constexpr bool last_is_call() {
  if constexpr (sizeof...(P) == 0) {
    return false;
  } else {
    return std::is_same_v<std::tuple_element_t<sizeof...(P) - 1, std::tuple<P...>>, const Call&>;
  }
}

// What a body takes: the module's State first, then its other parameters.
template <typename F>
struct BodyOf;
template <typename S, typename... P>
struct BodyOf<py::object (*)(const S&, P...)> {
  using State = S;
  static constexpr std::size_t arity = sizeof...(P);
  static constexpr bool forwards_call = last_is_call<P...>();
};

template <typename F, std::size_t N, std::size_t... I>
py::object expand(F&& f, const std::array<py::handle, N>& args, std::index_sequence<I...> /*unused*/) {
  return f(args[I]...);
}

}  // namespace detail

// The body of a callable called with `call` bound to `Sig`:
//
//   Body(state, lead..., p0, ..., pN-1)           each parameter a py::handle, null
//                                                  when an optional one is not given
//   Body(state, lead..., p0, ..., pN-1, kwargs)   `Sig` with **varkw: the further keywords,
//                                                  a dict, or null when there are none
//   Body(state, lead..., p0, ..., pN-1, call)     a body that hands the call on as it came
//                                                  (its last parameter a const Call&)
//
// `lead` is what the entry puts first (the instance or class a method is bound to).
template <const auto& Sig, auto Body, typename... Lead>
py::object call_body(const typename detail::BodyOf<decltype(Body)>::State& st, const Call& call, Lead... lead) {
  using B = detail::BodyOf<decltype(Body)>;
  constexpr std::size_t n = detail::parameter_count<Sig>;
  constexpr bool varkw = Sig.varkw != nullptr;
  static_assert(!(varkw && B::forwards_call), "a body with **varkw takes its keywords, not the call");
  static_assert(B::arity == sizeof...(Lead) + n + (varkw || B::forwards_call ? 1 : 0),
                "a body takes the parameters of its Signature, each a py::handle");
  py::object extra;
  const std::array<py::handle, n> args = bind<Sig>(call, varkw ? &extra : nullptr);
  return detail::expand(
      [&](auto... a) {
        if constexpr (varkw) {
          return Body(st, lead..., a..., std::as_const(extra));
        } else if constexpr (B::forwards_call) {
          return Body(st, lead..., a..., call);
        } else {
          return Body(st, lead..., a...);
        }
      },
      args, std::make_index_sequence<n>{});
}

// The docstring prefix that gives the callable its text signature (see
// parameters::signature_text); `bound` is "$self", "$cls" or null.
template <std::size_t N>
std::string signature_text(const Signature<N>& sig, const char* bound) {
  return parameters::signature_text(sig.fname, bound, sig.names.data(), N, sig.varkw);
}

}  // namespace kmb
