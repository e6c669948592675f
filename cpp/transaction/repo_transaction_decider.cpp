// RepoTransactionDecider: the repo commission on the principal, and no tax.
#include "transaction.hpp"

namespace kmb::transaction {

namespace {

// A repo trade's last_quantity is already its principal (amount × haircut).
constexpr Signature<1> get_trade_commission_params{"get_trade_commission", {"trade"}};
py::object get_trade_commission(const State& st, py::handle /*self*/, py::handle trade) {
  py::object commission = st.global(KMB_NAME("calc_repo_commission"));
  return call(commission, get_attr(trade, KMB_NAME("order_book_id")), get_attr(trade, KMB_NAME("last_quantity")));
}

// Charged on the principal the trade made from the order will carry: quantity × haircut.
constexpr Signature<1> get_order_transaction_cost_params{"get_order_transaction_cost", {"order"}};
py::object get_order_transaction_cost(const State& st, py::handle /*self*/, py::handle order) {
  py::object commission = st.global(KMB_NAME("calc_repo_commission"));
  py::object order_book_id = get_attr(order, KMB_NAME("order_book_id"));
  return call(commission, order_book_id,
              mul(get_attr(order, KMB_NAME("quantity")), get_attr(order, KMB_NAME("haircut"))));
}

}  // namespace

py::object build_repo_transaction_decider(const py::module_& m, py::handle base) {
  return ClassBuilder(m, "RepoTransactionDecider", {base})
      .method<get_trade_tax_params, get_trade_tax>()
      .method<get_trade_commission_params, get_trade_commission>()
      .method<get_order_transaction_cost_params, get_order_transaction_cost>()
      .build();
}

}  // namespace kmb::transaction
