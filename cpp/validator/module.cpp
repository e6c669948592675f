// korvane_mod_bond.validator: the bond and repo order validators.
#include "validator.hpp"

using namespace kmb;
using namespace kmb::validator;

KMB_MODULE(validator, m) {
  py::object base = import_name(m, "korvane.interface", "AbstractFrontendValidator");
  import_name(m, "korvane.utils.logger", "user_system_log");
  import_name(m, "korvane.environment", "Environment");
  import_name(m, "korvane.const", "SIDE");
  import_name(m, "korvane.const", "POSITION_DIRECTION");
  import_name(m, "korvane.const", "POSITION_EFFECT");
  import_name(m, ".data", "BondInstrument");
  import_name(m, ".utils", "is_exchange_bond");
  import_name(m, ".api", "_get_account_position_ins");

  // Kept for the life of the process: never destroyed after the interpreter ends.
  keep_state<State>(m, ModuleState(m));

  ClassBuilder(m, "BondValidator", {base})
      .method(sig::init, as_method<State, init>)
      .method(sig::can_submit_order, as_method<State, bond_can_submit_order>)
      .method(sig::can_cancel_order, as_method<State, can_cancel_order>)
      .build();

  ClassBuilder(m, "RepoValidator", {base})
      .method(sig::init, as_method<State, init>)
      .method(sig::can_submit_order, as_method<State, repo_can_submit_order>)
      .method(sig::can_cancel_order, as_method<State, can_cancel_order>)
      .build();
}
