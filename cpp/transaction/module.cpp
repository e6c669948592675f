// korvane_mod_bond.transaction: the bond and repo cost deciders.
#include "deciders.hpp"

using namespace kmb;
using namespace kmb::transaction;

KMB_MODULE(transaction, m) {
  py::object base = import_name(m, "korvane.interface", "AbstractTransactionCostDecider");
  import_name(m, "korvane.model.order", "Order");
  import_name(m, "korvane.model.trade", "Trade");
  import_name(m, ".utils", "is_exchange_bond");
  import_name(m, ".utils", "calc_repo_commission");

  // Kept for the life of the process: never destroyed after the interpreter ends.
  keep_state<State>(m, ModuleState(m));

  ClassBuilder(m, "BondTransactionDecider", {base})
      .doc(bond_decider_doc)
      .method(sig::bond_init, as_method<State, bond_init>)
      .method(sig::get_commission, as_method<State, bond_get_commission>)
      .method(sig::get_trade_tax, as_method<State, get_trade_tax>)
      .method(sig::get_trade_commission, as_method<State, bond_get_trade_commission>)
      .method(sig::get_order_transaction_cost, as_method<State, bond_get_order_transaction_cost>)
      .build();

  ClassBuilder(m, "RepoTransactionDecider", {base})
      .method(sig::get_trade_tax, as_method<State, get_trade_tax>)
      .method(sig::get_trade_commission, as_method<State, repo_get_trade_commission>)
      .method(sig::get_order_transaction_cost, as_method<State, repo_get_order_transaction_cost>)
      .build();
}
