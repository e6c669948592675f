// BondPositionWithRealizedCashFlow: a bond position that follows the realized
// table (cash_flow_kind.hpp): a payment becomes receivable on its payment
// date and is paid the same day.
#include "position.hpp"

namespace kmb::position {

namespace realized_hooks {

using cash_flow::realized;

// The day's payment per bond and whether it redeems the bond in full.
py::object get_cash_flow(const State& st, py::handle self, py::handle date) {
  py::object table = memoised_table<realized>(st, self);
  if (table.is_none()) {
    return st.no_cash_flow;
  }
  std::optional<DayRecord> day = find_day<realized>(st, table, date);
  if (!day) {
    return st.no_cash_flow;
  }
  return py::make_tuple(day->cash_flow, boolean(redeemed(self, *day)));
}

// What becomes receivable is the day's payment, through the instance's _get_cash_flow.
py::object get_cash_flow_receivable(const State& st, py::handle self, py::handle date) {
  auto [cash_flow, de_listed] = unpack<2>(cash_flow_of(st, self, date));
  return cash_flow;
}

// The hooks' parameters.
constexpr Signature<1> get_cash_flow_params{"_get_cash_flow", {"date_"}};
constexpr Signature<1> get_cash_flow_receivable_params{"_get_cash_flow_receivable", {"date_"}};

}  // namespace realized_hooks

py::object build_realized_cash_flow_position(const py::module_& m, State& st, py::handle bond_position) {
  py::object cls =
      ClassBuilder(m, "BondPositionWithRealizedCashFlow", {bond_position})
          .method<realized_hooks::get_cash_flow_receivable_params, realized_hooks::get_cash_flow_receivable>()
          .method<realized_hooks::get_cash_flow_params, realized_hooks::get_cash_flow>()
          .build();
  st.realized_receivable = class_member(cls, "_get_cash_flow_receivable");
  st.realized_cash_flow = class_member(cls, "_get_cash_flow");
  return cls;
}

}  // namespace kmb::position
