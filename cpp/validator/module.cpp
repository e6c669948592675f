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

  build_bond_validator(m, base);
  build_repo_validator(m, base);
}
