// Commission and tax of bond and repo trades and orders.
#pragma once

#include "host.hpp"

namespace kmb::transaction {

// The module namespace, through which host and sibling names are reached at
// call time, is all the State there is.
using State = ModuleState;

extern const char* const bond_decider_doc;

py::object bond_init(const State& st, py::handle self, const Call& call);
py::object bond_get_commission(const State& st, py::handle self, const Call& call);
py::object get_trade_tax(const State& st, py::handle self, const Call& call);
py::object bond_get_trade_commission(const State& st, py::handle self, const Call& call);
py::object bond_get_order_transaction_cost(const State& st, py::handle self, const Call& call);

py::object repo_get_trade_commission(const State& st, py::handle self, const Call& call);
py::object repo_get_order_transaction_cost(const State& st, py::handle self, const Call& call);

}  // namespace kmb::transaction
