// Bonds pay a commission on the trade value, capped on an exchange and floored
// inter-bank, and no tax; repos pay the repo commission on their principal.
#include "deciders.hpp"

namespace kmb::transaction {

const char* const bond_decider_doc =
    "\n    订单税费计算接口，通过实现次接口可以定义不同市场、不同合约的个性化税费计算逻辑。\n    ";

py::object bond_init(const State& /*st*/, py::handle self, const Call& c) {
  auto [ib_rate, ib_min, exchange_rate, exchange_max] = bind(sig::bond_init, c);
  set_attr(self, KMB_NAME("_ib_commission_rate"), ib_rate);
  set_attr(self, KMB_NAME("_ib_min_commission"), ib_min);
  set_attr(self, KMB_NAME("_exchange_commission_rate"), exchange_rate);
  set_attr(self, KMB_NAME("_exchange_max_commission"), exchange_max);
  return py::none();
}

// price × quantity × rate, capped on an exchange and floored inter-bank; a tie
// gives the computed value, a bound gives the very object configured.
py::object bond_get_commission(const State& st, py::handle self, const Call& c) {
  auto [price, quantity, order_book_id] = bind(sig::get_commission, c);
  if (truth(call(st.global(KMB_NAME("is_exchange_bond")), order_book_id))) {
    py::object cap = get_attr(self, KMB_NAME("_exchange_max_commission"));
    py::object value = mul(mul(price, quantity), get_attr(self, KMB_NAME("_exchange_commission_rate")));
    return compare(cap, value, Py_LT) ? cap : value;
  }
  py::object floor = get_attr(self, KMB_NAME("_ib_min_commission"));
  py::object value = mul(mul(price, quantity), get_attr(self, KMB_NAME("_ib_commission_rate")));
  return compare(floor, value, Py_GT) ? floor : value;
}

py::object get_trade_tax(const State& /*st*/, py::handle /*self*/, const Call& c) {
  bind(sig::get_trade_tax, c);
  return py::int_(0);
}

py::object bond_get_trade_commission(const State& /*st*/, py::handle self, const Call& c) {
  auto [trade] = bind(sig::get_trade_commission, c);
  return call_method(self, KMB_NAME("_get_commission"), get_attr(trade, KMB_NAME("last_price")),
                     get_attr(trade, KMB_NAME("last_quantity")), get_attr(trade, KMB_NAME("order_book_id")));
}

// An order's expected cost is its commission at the price frozen when it was placed.
py::object bond_get_order_transaction_cost(const State& /*st*/, py::handle self, const Call& c) {
  auto [order] = bind(sig::get_order_transaction_cost, c);
  return call_method(self, KMB_NAME("_get_commission"), get_attr(order, KMB_NAME("frozen_price")),
                     get_attr(order, KMB_NAME("quantity")), get_attr(order, KMB_NAME("order_book_id")));
}

// A repo trade's last_quantity is already its principal (amount × haircut).
py::object repo_get_trade_commission(const State& st, py::handle /*self*/, const Call& c) {
  auto [trade] = bind(sig::get_trade_commission, c);
  py::object commission = st.global(KMB_NAME("calc_repo_commission"));
  return call(commission, get_attr(trade, KMB_NAME("order_book_id")), get_attr(trade, KMB_NAME("last_quantity")));
}

// Charged on the principal the trade made from the order will carry: quantity × haircut.
py::object repo_get_order_transaction_cost(const State& st, py::handle /*self*/, const Call& c) {
  auto [order] = bind(sig::get_order_transaction_cost, c);
  py::object commission = st.global(KMB_NAME("calc_repo_commission"));
  py::object order_book_id = get_attr(order, KMB_NAME("order_book_id"));
  return call(commission, order_book_id,
              mul(get_attr(order, KMB_NAME("quantity")), get_attr(order, KMB_NAME("haircut"))));
}

}  // namespace kmb::transaction
