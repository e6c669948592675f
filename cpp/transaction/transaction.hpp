// korvane_mod_bond.transaction: commission and tax of bond and repo trades and orders.
#pragma once

#include "host.hpp"

namespace kmb::transaction {

// The module namespace, through which host and sibling names are reached at
// call time, and BondTransactionDecider's own _get_commission, the method
// descriptor its class was built with: found on an instance, its body runs
// directly.
struct State : ModuleState {
  py::object get_commission{};
};

// What both cost deciders do alike: bonds and repos pay no tax, the integer 0.
inline constexpr Signature<1> get_trade_tax_params{"get_trade_tax", {"trade"}};
inline py::object get_trade_tax(const State& /*st*/, py::handle /*self*/, py::handle /*trade*/) { return py::int_(0); }

// The classes, each built by its own file.
py::object build_bond_transaction_decider(const py::module_& m, State& st, py::handle base);
py::object build_repo_transaction_decider(const py::module_& m, py::handle base);

}  // namespace kmb::transaction
