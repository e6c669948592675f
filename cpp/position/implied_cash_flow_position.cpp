// BondPositionWithImpliedCashFlow: a bond position that follows the implied
// table (cash_flow_kind.hpp): interest becomes receivable as it accrues,
// record by record, and is paid on the payment date.
#include "position.hpp"

namespace kmb::position {

namespace implied_hooks {

using cash_flow::implied;

// The day's payment and receivable per bond, and whether the day redeems the bond in full.
py::object get_day_cash_flow(const State& st, py::handle self, py::handle date) {
  py::object table = memoised_table<implied>(st, self);
  if (table.is_none()) {
    return st.no_day_cash_flow;
  }
  std::optional<DayRecord> day = find_day<implied>(st, table, date);
  if (!day) {
    return st.no_day_cash_flow;
  }
  return py::make_tuple(day->cash_flow, day->receivable, boolean(redeemed(self, *day)));
}

// The day's receivable, through the instance's _get_day_cash_flow.
py::object get_cash_flow_receivable(const State& st, py::handle self, py::handle date) {
  auto [cash_flow, receivable, de_listed] = unpack<3>(day_cash_flow_of(st, self, date));
  // A payment day on which nothing was booked earlier books the payment itself.
  if (compare(cash_flow, int_zero(), Py_NE) &&
      compare(get_attr(self, KMB_NAME("_payment_receivable")), int_zero(), Py_EQ)) {
    return cash_flow;
  }
  return receivable;
}

// The day's payment and whether it redeems the bond, through the instance's _get_day_cash_flow.
py::object get_cash_flow(const State& st, py::handle self, py::handle date) {
  auto [cash_flow, receivable, de_listed] = unpack<3>(day_cash_flow_of(st, self, date));
  return py::make_tuple(cash_flow, de_listed);
}

// The hooks' parameters.
constexpr Signature<1> get_day_cash_flow_params{"_get_day_cash_flow", {"date_"}};
constexpr Signature<1> get_cash_flow_receivable_params{"_get_cash_flow_receivable", {"date_"}};
constexpr Signature<1> get_cash_flow_params{"_get_cash_flow", {"date_"}};

}  // namespace implied_hooks

py::object build_implied_cash_flow_position(const py::module_& m, State& st, py::handle bond_position) {
  py::object cls =
      ClassBuilder(m, "BondPositionWithImpliedCashFlow", {bond_position})
          .method<implied_hooks::get_day_cash_flow_params, implied_hooks::get_day_cash_flow>()
          .method<implied_hooks::get_cash_flow_receivable_params, implied_hooks::get_cash_flow_receivable>()
          .method<implied_hooks::get_cash_flow_params, implied_hooks::get_cash_flow>()
          .build();
  st.implied_day_cash_flow = class_member(cls, "_get_day_cash_flow");
  st.implied_receivable = class_member(cls, "_get_cash_flow_receivable");
  st.implied_cash_flow = class_member(cls, "_get_cash_flow");
  return cls;
}

}  // namespace kmb::position
