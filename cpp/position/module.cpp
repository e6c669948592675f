// korvane_mod_bond.position: bond and repo positions and their proxies.
#include "position.hpp"

using namespace kmb;
using namespace kmb::position;

KMB_MODULE(position, m) {
  import_name(m, "collections", "defaultdict");
  m.attr("np") = py::module_::import("numpy");
  load_table_types();
  import_name(m, "pelvorn", "bond");
  import_name(m, "korvane.utils.functools", "lru_cache");
  import_name(m, "korvane.const", "SIDE");
  import_name(m, "korvane.const", "POSITION_DIRECTION");
  import_name(m, "korvane.model.trade", "Trade");
  py::object instrument_type = import_name(m, "korvane.const", "INSTRUMENT_TYPE");
  import_name(m, "korvane.environment", "Environment");
  py::object position_base = import_name(m, "korvane.portfolio.position", "Position");
  import_name(m, "korvane.utils.datetime_func", "convert_date_to_date_int");
  py::object proxy_base = import_name(m, "korvane.mod.korvane_mod_sys_accounts.position_model", "StockPositionProxy");
  import_name(m, ".trade", "RepoTrade");
  import_name(m, ".data", "BondInstrument");
  import_name(m, ".utils", "is_exchange_bond");

  // Kept for the life of the process: never destroyed after the interpreter ends.
  py::module_ builtins = py::module_::import("builtins");
  py::object zero = py::float_(0.0);
  State& state = keep_state<State>(m, ModuleState(m), position_base,
                                   get_attr(reinterpret_cast<PyObject*>(&PyBaseObject_Type), KMB_NAME("__new__")),
                                   builtins.attr("sum"), py::make_tuple(zero, false), py::make_tuple(zero, zero, false),
                                   py::object(), py::module_::import("collections").attr("defaultdict"));

  define_cash_flow_tables(m);

  py::object bond = py::make_tuple(instrument_type.attr("BOND"));
  py::object repo = py::make_tuple(instrument_type.attr("REPO"));
  py::object bond_position = build_bond_position(m, state, bond);
  build_realized_cash_flow_position(m, state, bond_position);
  build_implied_cash_flow_position(m, state, bond_position);
  build_repo_position(m, state, repo);
  build_bond_position_proxy(m, proxy_base, bond);
  build_repo_position_proxy(m, proxy_base, repo);
}
