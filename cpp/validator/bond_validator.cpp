// BondValidator: a bond order must be a whole number of lots, at least 1000
// inter-bank, no more than the closable holding when closing, and no buy past
// the bond's issued count.
#include "validator.hpp"

namespace kmb::validator {

namespace {

PyObject* zero() { return KMB_KEPT(py::int_(0)); }

// Smallest order quantity: none (0) for an exchange bond, 1000 inter-bank.
PyObject* amount_limit(bool exchange) { return exchange ? zero() : KMB_KEPT(py::int_(1000)); }

// The fields of the order that the checks read, each read once.
struct BondOrder {
  py::handle order;
  py::object order_book_id;
  py::object quantity;
};

// amount % lot != 0. With two ints that fit a long long, worked out right
// here: Python's floored remainder is 0 exactly when C's truncated one is.
bool not_whole_lots(py::handle amount, py::handle lot) {
  long long a = 0;
  long long b = 0;
  if (PyLong_CheckExact(amount.ptr()) && PyLong_CheckExact(lot.ptr()) && exact_long(amount.ptr(), a) &&
      exact_long(lot.ptr(), b) && b != 0) {
    return b != -1 && a % b != 0;  // any int % -1 is 0 (and LLONG_MIN % -1 would overflow)
  }
  return compare(mod(amount, lot), zero(), Py_NE);
}

bool quantity_invalid(py::handle amount, py::handle ins, bool exchange) {
  if (compare(amount, amount, Py_NE)) {  // NaN
    return true;
  }
  if (not_whole_lots(amount, get_attr(ins, KMB_NAME("round_lot")))) {
    return true;
  }
  return compare(amount, amount_limit(exchange), Py_LT);
}

// issue_size / issue_price - quantity - held < 0, worked out in floating
// point when each step is float arithmetic (a division by zero raises, as
// Python's own).
bool past_issued_count(py::handle issue_size, py::handle issue_price, py::handle quantity, py::handle held) {
  double size = 0.0;
  double price = 0.0;
  double bought = 0.0;
  double holding = 0.0;
  if (float_operands(issue_size.ptr(), issue_price.ptr(), size, price) && price != 0.0 &&
      float_operand(quantity.ptr(), bought) && float_operand(held.ptr(), holding)) {
    return size / price - bought - holding < 0.0;
  }
  return compare(sub(sub(truediv(issue_size, issue_price), quantity), held), zero(), Py_LT);
}

// The order's position: from the order's account, or from the portfolio when
// the caller gave no account.
py::object order_position(py::handle env, const BondOrder& o, py::handle account) {
  py::object direction = get_attr(o.order, KMB_NAME("position_direction"));
  if (account && !account.is_none()) {
    return call_method(account, KMB_NAME("get_position"), o.order_book_id, direction);
  }
  return call_method(get_attr(env, KMB_NAME("portfolio")), KMB_NAME("get_position"), o.order_book_id, direction);
}

bool exceeds_closable(const State& st, const BondOrder& o, py::handle position) {
  if (!compare(get_attr(o.order, KMB_NAME("position_effect")),
               KMB_MEMBER(st, st.global(KMB_NAME("POSITION_EFFECT")), "CLOSE"), Py_EQ)) {
    return false;
  }
  py::object closable = get_attr(position, KMB_NAME("closable"));
  if (!compare(o.quantity, closable, Py_GT)) {
    return false;
  }
  py::object text =
      get_attr(py::str("订单创建失败:  {order_book_id} 的仓位不足, 目标平仓 {quantity}, 可平仓位为 {closable}"),
               KMB_NAME("format"));
  log(st, KMB_NAME("warning"),
      call_kw(text, {}, {o.order_book_id, o.quantity, closable},
              KMB_KEYWORDS("order_book_id", "quantity", "closable")));
  return true;
}

// A buy may take the long holding up to the number of bonds issued
// (issue size in money / issue price), not past it.
bool exceeds_issue_size(const State& st, py::handle env, const BondOrder& o, py::handle ins) {
  py::object issue_size = get_attr(ins, KMB_NAME("initial_issue_size"));
  if (!truth(issue_size) ||
      !compare(get_attr(o.order, KMB_NAME("side")), KMB_MEMBER(st, st.global(KMB_NAME("SIDE")), "BUY"), Py_EQ)) {
    return false;
  }
  py::object issue_price = get_attr(ins, KMB_NAME("issue_price"));
  if (!truth(issue_price)) {
    return false;  // no issued count without a price
  }
  py::object position = call_method(get_attr(env, KMB_NAME("portfolio")), KMB_NAME("get_position"), o.order_book_id,
                                    KMB_MEMBER(st, st.global(KMB_NAME("POSITION_DIRECTION")), "LONG"));
  py::object held = get_attr(position, KMB_NAME("quantity"));
  if (!past_issued_count(issue_size, issue_price, o.quantity, held)) {
    return false;
  }
  log(st, KMB_NAME("warning"),
      format("订单创建失败：持仓数量 {} 接近 {} 债券发行总额上限 {}", held, o.order_book_id, issue_size));
  return true;
}

constexpr Signature<2> can_submit_order_params{"can_submit_order", {"order", "|account=None"}};
py::object can_submit_order(const State& st, py::handle self, py::handle order, py::handle account) {
  py::object env = get_attr(self, KMB_NAME("_env"));
  BondOrder o{order, get_attr(order, KMB_NAME("order_book_id")), {}};
  py::object ins = call_method(get_attr(env, KMB_NAME("data_proxy")), KMB_NAME("instruments"), o.order_book_id);
  // Asked before the instrument's type is checked, as the host expects.
  const bool exchange = truth(call(st.global(KMB_NAME("is_exchange_bond")), o.order_book_id));
  if (!is_instance(ins, st.global(KMB_NAME("BondInstrument")))) {
    raise_formatted(PyExc_TypeError, "wrong type for bond instrument: {}", type_of(ins));
  }

  o.quantity = get_attr(order, KMB_NAME("quantity"));
  if (quantity_invalid(o.quantity, ins, exchange)) {
    log(st, KMB_NAME("warn"), format("下单失败，数量 {} 不合法", o.quantity));
    return py::bool_(false);
  }

  py::object position = order_position(env, o, account);
  if (exceeds_closable(st, o, position) || exceeds_issue_size(st, env, o, ins)) {
    return py::bool_(false);
  }
  return py::bool_(true);
}

}  // namespace

py::object build_bond_validator(const py::module_& m, py::handle base) {
  return ClassBuilder(m, "BondValidator", {base})
      .method<init_params, init>()
      .method<can_submit_order_params, can_submit_order>()
      .method<can_cancel_order_params, can_cancel_order>()
      .build();
}

}  // namespace kmb::validator
