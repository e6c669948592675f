// RepoPosition: the repo quantity, the book of amounts due on each due
// settlement date, and their settlement.
#include <vector>

#include "position.hpp"

namespace kmb::position {

namespace {

// A repo has no trading or position profit and loss, margin or market value: 0.
py::object zero(const State& /*st*/, py::handle /*self*/) { return int_zero(); }

// The principal, signed by the direction: lent cash counts for the account, borrowed against it.
py::object equity(const State& /*st*/, py::handle self) {
  return mul(get_attr(self, KMB_NAME("_direction_factor")), get_attr(self, KMB_NAME("quantity")));
}

constexpr Signature<3> init_params{"__init__", {"order_book_id", "direction", "|init_quantity=0"}};
py::object init(const State& st, py::handle self, py::handle order_book_id, py::handle direction,
                py::handle given_quantity) {
  py::object init_quantity = given_quantity ? py::reinterpret_borrow<py::object>(given_quantity) : int_zero();
  call_base(st.position, KMB_NAME("__init__"), self, order_book_id, direction, init_quantity);
  set_attr(self, KMB_NAME("_due_settlement_dict"), py::dict());
  return py::none();
}

// A repo trade: its principal booked today, its amount due filed under its
// due date, and a financing repo's pledge handed to the bond's position.
constexpr Signature<1> apply_trade_params{"apply_trade", {"trade"}};
py::object apply_trade(const State& st, py::handle self, py::handle trade) {
  if (!is_instance(trade, st.global(KMB_NAME("RepoTrade")))) {
    raise_formatted(PyExc_TypeError, "unsupported trade type: {}", type_of(trade));
  }
  // A financing repo pledges the bond: its long position must be able to take
  // the pledge before anything of the trade is booked here.
  py::object directions = st.global(KMB_NAME("POSITION_DIRECTION"));
  py::object bond_position;
  if (compare(get_attr(self, KMB_NAME("_direction")), KMB_MEMBER(st, directions, "SHORT"), Py_EQ)) {
    py::object portfolio = get_attr(get_attr(self, KMB_NAME("_env")), KMB_NAME("portfolio"));
    bond_position = call_method(portfolio, KMB_NAME("get_position"), get_attr(trade, KMB_NAME("bond_id")),
                                KMB_MEMBER(st, directions, "LONG"));
    if (!is_instance(bond_position, st.global(KMB_NAME("BondPosition")))) {
      raise_formatted(PyExc_TypeError, "unsupported bond position type: {}", type_of(bond_position));
    }
  }

  // Everything the trade changes is worked out before anything is written, so
  // that a trade with a missing or unusable field (a transaction cost of None,
  // say) raises with this position and the pledge book as they were, instead
  // of leaving a principal booked whose cash never reached the account.
  py::object quantity = get_attr(trade, KMB_NAME("last_quantity"));
  py::object today_quantity = iadd(get_attr(self, KMB_NAME("_today_quantity")), quantity);
  py::object book = get_attr(self, KMB_NAME("_due_settlement_dict"));
  py::object due_date = get_attr(trade, KMB_NAME("due_settlement_date"));
  py::object due_amount = get_attr(trade, KMB_NAME("due_settlement_amount"));
  const int known = PySequence_Contains(book.ptr(), due_date.ptr());
  if (known < 0) {
    throw py::error_already_set();
  }
  py::object first = int_zero();
  py::object second = py::int_(1);
  py::object entry;
  py::object entry_quantity;
  py::object entry_amount;
  if (known != 0) {
    entry = get_item(book, due_date);
    entry_quantity = iadd(get_item(entry, first), quantity);
    entry_amount = iadd(get_item(entry, second), due_amount);
  }
  // -(quantity × direction factor) − transaction cost
  py::object principal = neg(mul(quantity, get_attr(self, KMB_NAME("_direction_factor"))));
  py::object delta_cash = sub(principal, get_attr(trade, KMB_NAME("transaction_cost")));

  // The pledge first: a bond position that refuses it leaves nothing booked here.
  if (bond_position) {
    call_method(bond_position, KMB_NAME("apply_trade"), trade);
  }
  set_attr(self, KMB_NAME("_today_quantity"), today_quantity);
  if (known == 0) {
    py::list pair(2);  // [quantity, amount]
    pair[0] = quantity;
    pair[1] = due_amount;
    set_item(book, due_date, pair);
  } else {
    set_item(entry, first, entry_quantity);
    set_item(entry, second, entry_amount);
  }
  return delta_cash;
}

// The amounts due on or before the day, settled: paid or received by direction.
constexpr Signature<1> settlement_params{"settlement", {"trading_date"}};
py::object settlement(const State& st, py::handle self, py::handle trading_date) {
  call_base(st.position, KMB_NAME("settlement"), self, trading_date);
  // The amounts due are summed and the matured quantities taken off in a
  // local copy first: an entry that cannot be settled raises with the book and
  // the quantity as they were, none of the entries before it half settled.
  std::vector<py::object> keys_to_be_removed;
  py::object delta_cash = int_zero();
  py::object old_quantity = get_attr(self, KMB_NAME("_old_quantity"));
  py::object book = get_attr(self, KMB_NAME("_due_settlement_dict"));
  py::object iterator = steal_or_throw(PyObject_GetIter(call_method(book, KMB_NAME("items")).ptr()));
  while (PyObject* raw = PyIter_Next(iterator.ptr())) {
    auto [due_date, entry] = unpack<2>(py::reinterpret_steal<py::object>(raw));
    auto [quantity, due_amount] = unpack<2>(entry);
    if (compare(due_date, trading_date, Py_LE)) {
      keys_to_be_removed.push_back(due_date);
      delta_cash = iadd(delta_cash, due_amount);
      old_quantity = isub(old_quantity, quantity);
    }
  }
  if (PyErr_Occurred()) {
    throw py::error_already_set();
  }
  py::object result = mul(delta_cash, get_attr(self, KMB_NAME("_direction_factor")));
  set_attr(self, KMB_NAME("_old_quantity"), old_quantity);
  for (const py::object& key : keys_to_be_removed) {
    del_item(book, key);
  }
  return result;
}

}  // namespace

py::object build_repo_position(const py::module_& m, const State& st, py::handle instrument_types) {
  return ClassBuilder(m, "RepoPosition", {st.position})
      .attr("__instrument_types__", py::reinterpret_borrow<py::object>(instrument_types))
      .property<zero>("trading_pnl")
      .alias("position_pnl", "trading_pnl")
      .property<zero>("margin")
      .alias("market_value", "margin")
      .property<equity>("equity")
      .method<init_params, init>()
      .method<apply_trade_params, apply_trade>()
      .method<settlement_params, settlement>()
      .build();
}

}  // namespace kmb::position
