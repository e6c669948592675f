// korvane_mod_bond.trade: the repo trade record.
#include "trade.hpp"

using namespace kmb;
using namespace kmb::trade;

KMB_MODULE(trade, m) {
  import_name(m, "korvane.environment", "Environment");
  import_name(m, "korvane.const", "SIDE");
  import_name(m, "korvane.const", "POSITION_EFFECT");
  import_name(m, "korvane.const", "POSITION_DIRECTION");
  import_name(m, "korvane.const", "TRADING_CALENDAR_TYPE");
  py::object trade_base = import_name(m, "korvane.model.trade", "Trade");
  import_name(m, ".utils", "is_exchange_bond");
  import_name(m, ".utils", "calc_repo_commission");
  import_name(m, ".utils", "get_commission_rate");

  py::module_ datetime = py::module_::import("datetime");
  // Kept for the life of the process: never destroyed after the interpreter ends.
  const State& state =
      keep_state<State>(m, ModuleState(m), trade_base, datetime.attr("timedelta"), datetime.attr("datetime"));

  build_repo_trade(m, state);
}
