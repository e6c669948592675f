// BondTransactionDecider: a commission on the trade value, capped on an
// exchange and floored inter-bank, and no tax.
#include "transaction.hpp"

namespace kmb::transaction {

namespace {

const char* const doc = "\n    订单税费计算接口，通过实现次接口可以定义不同市场、不同合约的个性化税费计算逻辑。\n    ";

// The four commission figures, kept as given.
constexpr Signature<4> init_params{
    "__init__", {"ib_commission_rate", "ib_min_commission", "exchange_commission_rate", "exchange_max_commission"}};
py::object init(const State& /*st*/, py::handle self, py::handle ib_rate, py::handle ib_min, py::handle exchange_rate,
                py::handle exchange_max) {
  set_attr(self, KMB_NAME("_ib_commission_rate"), ib_rate);
  set_attr(self, KMB_NAME("_ib_min_commission"), ib_min);
  set_attr(self, KMB_NAME("_exchange_commission_rate"), exchange_rate);
  set_attr(self, KMB_NAME("_exchange_max_commission"), exchange_max);
  return py::none();
}

// price × quantity × self.<rate>, evaluated as Python evaluates it (the rate
// read once the first product is made). When both products are products of
// floats, the value is worked out right here into `value` and the result is
// null: the value is made a number only if it is the commission.
py::object trade_value(py::handle self, PyObject* rate_name, py::handle price, py::handle quantity, double& value) {
  double x = 0.0;
  double y = 0.0;
  if (float_operands(price.ptr(), quantity.ptr(), x, y)) {
    const double product = x * y;
    py::object rate = get_attr(self, rate_name);
    double z = 0.0;
    if (float_operand(rate.ptr(), z)) {
      value = product * z;
      return {};
    }
    return mul(float_of(product), rate);
  }
  py::object product = mul(price, quantity);
  return mul(product, get_attr(self, rate_name));
}

// The bound when `bound <op> value` holds, else the value: a tie gives the
// computed value, a bound the very object configured.
py::object bounded(py::handle bound, int op, const py::object& value, double float_value) {
  if (!value) {
    return compare_with_float(bound, float_value, op) ? py::reinterpret_borrow<py::object>(bound)
                                                      : float_of(float_value);
  }
  return compare(bound, value, op) ? py::reinterpret_borrow<py::object>(bound) : value;
}

// price × quantity × rate, capped on an exchange and floored inter-bank.
constexpr Signature<3> get_commission_params{"_get_commission", {"price", "quantity", "order_book_id"}};
py::object get_commission(const State& st, py::handle self, py::handle price, py::handle quantity,
                          py::handle order_book_id) {
  double value = 0.0;
  if (truth(call(st.global(KMB_NAME("is_exchange_bond")), order_book_id))) {
    py::object cap = get_attr(self, KMB_NAME("_exchange_max_commission"));
    py::object computed = trade_value(self, KMB_NAME("_exchange_commission_rate"), price, quantity, value);
    return bounded(cap, Py_LT, computed, value);
  }
  py::object floor = get_attr(self, KMB_NAME("_ib_min_commission"));
  py::object computed = trade_value(self, KMB_NAME("_ib_commission_rate"), price, quantity, value);
  return bounded(floor, Py_GT, computed, value);
}

// self._get_commission(price, quantity, order_book_id), the method looked up
// first, as Python looks it up: a subclass may override it. The class's own
// method runs directly.
py::object commission_of(const State& st, py::handle self, PyObject* price_name, PyObject* quantity_name,
                         py::handle x) {
  const Method method(self, KMB_NAME("_get_commission"));
  py::object price = get_attr(x, price_name);
  py::object quantity = get_attr(x, quantity_name);
  py::object order_book_id = get_attr(x, KMB_NAME("order_book_id"));
  if (method.is(st.get_commission.ptr(), self)) {
    return get_commission(st, self, price, quantity, order_book_id);
  }
  return method(self, price, quantity, order_book_id);
}

// A trade's commission at its price and quantity.
constexpr Signature<1> get_trade_commission_params{"get_trade_commission", {"trade"}};
py::object get_trade_commission(const State& st, py::handle self, py::handle trade) {
  return commission_of(st, self, KMB_NAME("last_price"), KMB_NAME("last_quantity"), trade);
}

// An order's expected cost is its commission at the price frozen when it was placed.
constexpr Signature<1> get_order_transaction_cost_params{"get_order_transaction_cost", {"order"}};
py::object get_order_transaction_cost(const State& st, py::handle self, py::handle order) {
  return commission_of(st, self, KMB_NAME("frozen_price"), KMB_NAME("quantity"), order);
}

}  // namespace

py::object build_bond_transaction_decider(const py::module_& m, State& st, py::handle base) {
  py::object cls = ClassBuilder(m, "BondTransactionDecider", {base})
                       .doc(doc)
                       .method<init_params, init>()
                       .method<get_commission_params, get_commission>()
                       .method<get_trade_tax_params, get_trade_tax>()
                       .method<get_trade_commission_params, get_trade_commission>()
                       .method<get_order_transaction_cost_params, get_order_transaction_cost>()
                       .build();
  st.get_commission = class_member(cls, "_get_commission");
  return cls;
}

}  // namespace kmb::transaction
