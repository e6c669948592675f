// Commission and tax of bond and repo trades and orders.
#pragma once

#include "host.hpp"

namespace kmb::transaction {

// The module namespace, through which host and sibling names are reached at
// call time, is all the State there is.
using State = ModuleState;

extern const char* const bond_decider_doc;

// The parameters of every method: bound by its body, shown as its signature.
namespace sig {
inline const Signature<4> bond_init{
    "__init__", {"ib_commission_rate", "ib_min_commission", "exchange_commission_rate", "exchange_max_commission"}};
inline const Signature<3> get_commission{"_get_commission", {"price", "quantity", "order_book_id"}};
inline const Signature<1> get_trade_tax{"get_trade_tax", {"trade"}};
inline const Signature<1> get_trade_commission{"get_trade_commission", {"trade"}};
inline const Signature<1> get_order_transaction_cost{"get_order_transaction_cost", {"order"}};
}  // namespace sig

py::object bond_init(const State& st, py::handle self, const Call& call);
py::object bond_get_commission(const State& st, py::handle self, const Call& call);
py::object get_trade_tax(const State& st, py::handle self, const Call& call);
py::object bond_get_trade_commission(const State& st, py::handle self, const Call& call);
py::object bond_get_order_transaction_cost(const State& st, py::handle self, const Call& call);

py::object repo_get_trade_commission(const State& st, py::handle self, const Call& call);
py::object repo_get_order_transaction_cost(const State& st, py::handle self, const Call& call);

}  // namespace kmb::transaction
