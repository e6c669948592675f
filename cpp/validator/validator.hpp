// korvane_mod_bond.validator: frontend order validators for bonds and repos.
// Refusals are logged to the strategy's author through the host's user log
// and returned as False, never raised.
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

// What both validators do alike.

// Validator(env): keeps the environment, nothing else (the host's base is not initialised).
inline constexpr Signature<1> init_params{"__init__", {"env"}};
inline py::object init(const State& /*st*/, py::handle self, py::handle env) {
  set_attr(self, KMB_NAME("_env"), env);
  return py::none();
}

// Cancelling is never refused.
inline constexpr Signature<2> can_cancel_order_params{"can_cancel_order", {"order", "|account=None"}};
inline py::object can_cancel_order(const State& /*st*/, py::handle /*self*/, py::handle /*order*/,
                                   py::handle /*account*/) {
  return py::bool_(true);
}

// The classes, each built by its own file.
py::object build_bond_validator(const py::module_& m, py::handle base);
py::object build_repo_validator(const py::module_& m, py::handle base);

}  // namespace kmb::validator
