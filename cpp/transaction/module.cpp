// korvane_mod_bond.transaction: the bond and repo cost deciders.
#include "transaction.hpp"

using namespace kmb;
using namespace kmb::transaction;

KMB_MODULE(transaction, m) {
  py::object base = import_name(m, "korvane.interface", "AbstractTransactionCostDecider");
  import_name(m, "korvane.model.order", "Order");
  import_name(m, "korvane.model.trade", "Trade");
  import_name(m, ".utils", "is_exchange_bond");
  import_name(m, ".utils", "calc_repo_commission");

  // Kept for the life of the process: never destroyed after the interpreter ends.
  State& state = keep_state<State>(m, ModuleState(m));

  build_bond_transaction_decider(m, state, base);
  build_repo_transaction_decider(m, base);
}
