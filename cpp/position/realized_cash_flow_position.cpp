// BondPositionWithRealizedCashFlow: a bond position that follows the realized
// table (cash_flow_kind.hpp): a payment becomes receivable on its payment
// date and is paid the same day.
#include "position.hpp"

namespace kmb::position {

namespace {

using cash_flow::realized;

// The day's payment per bond and whether it redeems the bond in full.
constexpr Signature<1> get_cash_flow_params{"_get_cash_flow", {"date_"}};
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
constexpr Signature<1> get_cash_flow_receivable_params{"_get_cash_flow_receivable", {"date_"}};
py::object get_cash_flow_receivable(const State& /*st*/, py::handle self, py::handle date) {
  auto [cash_flow, de_listed] = unpack<2>(call_method(self, KMB_NAME("_get_cash_flow"), date));
  return cash_flow;
}

}  // namespace

py::object build_realized_cash_flow_position(const py::module_& m, py::handle bond_position) {
  return ClassBuilder(m, "BondPositionWithRealizedCashFlow", {bond_position})
      .method<get_cash_flow_receivable_params, get_cash_flow_receivable>()
      .method<get_cash_flow_params, get_cash_flow>()
      .build();
}

}  // namespace kmb::position
