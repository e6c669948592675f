// korvane_mod_bond.position: bond and repo positions and their proxies.
#include "position.hpp"

using namespace kmb;
using namespace kmb::position;

namespace {

// Field names interned: a table's dtype keys its fields by these very strings,
// which the lookups then find by identity.
py::list layout(std::initializer_list<std::pair<const char*, const char*>> fields) {
  py::list list;
  for (const auto& [name, code] : fields) {
    list.append(py::make_tuple(intern(name), code));
  }
  return list;
}

// A module-level function memoised by the host's lru_cache(1024).
void memoised(const py::module_& m, const Signature<1>& sig, FastFn fn) {
  py::object decorator = call(m.attr("lru_cache"), py::int_(1024));
  m.attr(sig.fname) = call(decorator, module_function(m, sig, fn));
}

}  // namespace

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

  m.attr("CASH_FLOW_DTYPES") = layout({{"payment_date", "i4"}, {"cash_flow", "f8"}, {"cum_principal_payment", "f8"}});
  m.attr("IMPLIED_CASH_FLOW_DTYPES") =
      layout({{"date", "i4"}, {"cash_flow", "f8"}, {"cum_principal_payment", "f8"}, {"payment_receivable", "f8"}});

  memoised(m, sig::all_real_cash_flow, as_function<State, all_real_cash_flow>);
  memoised(m, sig::all_implied_cash_flow, as_function<State, all_implied_cash_flow>);

  py::object bond = py::make_tuple(instrument_type.attr("BOND"));
  py::object repo = py::make_tuple(instrument_type.attr("REPO"));

  py::object bond_position =
      ClassBuilder(m, "BondPosition", {position_base})
          .attr("__instrument_types__", bond)
          .staticmethod(sig::position_new, as_function<State, bond_new>)
          .method(sig::position_init, as_method<State, bond_init>)
          .method(sig::set_state, as_method<State, bond_set_state>)
          .method(sig::get_state, as_method<State, bond_get_state>)
          .property("equity", as_getter<State, bond_equity>, "持仓总权益")
          .property("pledged_quantity", as_getter<State, bond_pledged_quantity>, "返回当前持仓量")
          .property("closable", as_getter<State, bond_closable>)
          .method(sig::apply_trade, as_method<State, bond_apply_trade>)
          .method(sig::before_trading, as_method<State, bond_before_trading>)
          .method(sig::settlement, as_method<State, bond_settlement>)
          .method(sig::get_cash_flow_receivable, as_method<State, bond_get_cash_flow_receivable>)
          .method(sig::get_cash_flow, as_method<State, bond_get_cash_flow>)
          .build();
  state.pledged_quantity = py::reinterpret_borrow<py::object>(PyDict_GetItemWithError(
      reinterpret_cast<PyTypeObject*>(bond_position.ptr())->tp_dict, KMB_NAME("pledged_quantity")));

  ClassBuilder(m, "BondPositionWithRealizedCashFlow", {bond_position})
      .method(sig::get_cash_flow_receivable, as_method<State, realized_get_cash_flow_receivable>)
      .method(sig::get_cash_flow, as_method<State, realized_get_cash_flow>)
      .build();

  ClassBuilder(m, "BondPositionWithImpliedCashFlow", {bond_position})
      .method(sig::get_day_cash_flow, as_method<State, implied_get_day_cash_flow>)
      .method(sig::get_cash_flow_receivable, as_method<State, implied_get_cash_flow_receivable>)
      .method(sig::get_cash_flow, as_method<State, implied_get_cash_flow>)
      .build();

  ClassBuilder(m, "RepoPosition", {position_base})
      .attr("__instrument_types__", repo)
      .property("trading_pnl", as_getter<State, repo_zero>)
      .alias("position_pnl", "trading_pnl")
      .property("margin", as_getter<State, repo_zero>)
      .alias("market_value", "margin")
      .property("equity", as_getter<State, repo_equity>)
      .method(sig::position_init, as_method<State, repo_init>)
      .method(sig::apply_trade, as_method<State, repo_apply_trade>)
      .method(sig::settlement, as_method<State, repo_settlement>)
      .build();

  ClassBuilder(m, "BondPositionProxy", {proxy_base})
      .attr("__instrument_types__", bond)
      .property("type", as_getter<State, bond_proxy_type>)
      .build();

  ClassBuilder(m, "RepoPositionProxy", {proxy_base})
      .attr("__instrument_types__", repo)
      .property("type", as_getter<State, repo_proxy_type>)
      .build();
}
