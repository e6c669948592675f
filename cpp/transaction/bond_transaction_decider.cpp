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

// price × quantity × rate, capped on an exchange and floored inter-bank; a tie
// gives the computed value, a bound gives the very object configured.
constexpr Signature<3> get_commission_params{"_get_commission", {"price", "quantity", "order_book_id"}};
py::object get_commission(const State& st, py::handle self, py::handle price, py::handle quantity,
                          py::handle order_book_id) {
  if (truth(call(st.global(KMB_NAME("is_exchange_bond")), order_book_id))) {
    py::object cap = get_attr(self, KMB_NAME("_exchange_max_commission"));
    py::object value = mul(mul(price, quantity), get_attr(self, KMB_NAME("_exchange_commission_rate")));
    return compare(cap, value, Py_LT) ? cap : value;
  }
  py::object floor = get_attr(self, KMB_NAME("_ib_min_commission"));
  py::object value = mul(mul(price, quantity), get_attr(self, KMB_NAME("_ib_commission_rate")));
  return compare(floor, value, Py_GT) ? floor : value;
}

// A trade's commission at its price and quantity, through the instance's
// _get_commission (a subclass may override it).
constexpr Signature<1> get_trade_commission_params{"get_trade_commission", {"trade"}};
py::object get_trade_commission(const State& /*st*/, py::handle self, py::handle trade) {
  return call_method(self, KMB_NAME("_get_commission"), get_attr(trade, KMB_NAME("last_price")),
                     get_attr(trade, KMB_NAME("last_quantity")), get_attr(trade, KMB_NAME("order_book_id")));
}

// An order's expected cost is its commission at the price frozen when it was placed.
constexpr Signature<1> get_order_transaction_cost_params{"get_order_transaction_cost", {"order"}};
py::object get_order_transaction_cost(const State& /*st*/, py::handle self, py::handle order) {
  return call_method(self, KMB_NAME("_get_commission"), get_attr(order, KMB_NAME("frozen_price")),
                     get_attr(order, KMB_NAME("quantity")), get_attr(order, KMB_NAME("order_book_id")));
}

}  // namespace

py::object build_bond_transaction_decider(const py::module_& m, py::handle base) {
  return ClassBuilder(m, "BondTransactionDecider", {base})
      .doc(doc)
      .method<init_params, init>()
      .method<get_commission_params, get_commission>()
      .method<get_trade_tax_params, get_trade_tax>()
      .method<get_trade_commission_params, get_trade_commission>()
      .method<get_order_transaction_cost_params, get_order_transaction_cost>()
      .build();
}

}  // namespace kmb::transaction
