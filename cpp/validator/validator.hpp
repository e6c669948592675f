// Frontend order validators for bonds and repos: refusals are logged to the
// strategy's author through the host's user log and returned as False, never
// raised.
#pragma once

#include "host.hpp"

namespace kmb::validator {

// The module namespace, through which host and sibling names are reached at
// call time, is all the State there is.
using State = ModuleState;

// user_system_log.<operation>(message), the log read at call time.
inline void log(const State& st, PyObject* operation, py::handle message) {
  call_method(st.global(KMB_NAME("user_system_log")), operation, message);
}

// The parameters of every method: bound by its body, shown as its signature.
namespace sig {
inline const Signature<1> init{"__init__", {"env"}};
inline const Signature<2> can_submit_order{"can_submit_order", {"order", "|account=None"}};
inline const Signature<2> can_cancel_order{"can_cancel_order", {"order", "|account=None"}};
}  // namespace sig

// Validator(env): keeps the environment, nothing else (the host's base is not initialised).
inline py::object init(const State& /*st*/, py::handle self, const Call& c) {
  auto [env] = bind(sig::init, c);
  set_attr(self, KMB_NAME("_env"), env);
  return py::none();
}

// Cancelling is never refused.
inline py::object can_cancel_order(const State& /*st*/, py::handle /*self*/, const Call& c) {
  bind(sig::can_cancel_order, c);
  return py::bool_(true);
}

py::object bond_can_submit_order(const State& st, py::handle self, const Call& call);
py::object repo_can_submit_order(const State& st, py::handle self, const Call& call);

}  // namespace kmb::validator
