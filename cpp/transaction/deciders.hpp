// Commission and tax of bond and repo trades and orders.
#pragma once

#include "host.hpp"

namespace kmb::transaction {

// The module namespace, through which host and sibling names are reached at
// call time; made once when the module loads and kept for the life of the process.
struct State {
  Globals globals;
};

extern State* state;

extern const char* const bond_decider_doc;

py::object bond_init(py::handle self, const Call& call);
py::object bond_get_commission(py::handle self, const Call& call);
py::object get_trade_tax(py::handle self, const Call& call);
py::object bond_get_trade_commission(py::handle self, const Call& call);
py::object bond_get_order_transaction_cost(py::handle self, const Call& call);

py::object repo_get_trade_commission(py::handle self, const Call& call);
py::object repo_get_order_transaction_cost(py::handle self, const Call& call);

}  // namespace kmb::transaction
