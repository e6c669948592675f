// RepoValidator: an exchange repo pledging an exchange bond must reach the
// exchange's minimum nominal value; one above the face value of the closable
// holding is accepted with a warning.
#include "validator.hpp"

namespace kmb::validator {

namespace {

// Refusal of an exchange repo, logged with its reason.
void fail(const State& st, py::handle reason) {
  log(st, KMB_NAME("warning"), format("场内债券正回购失败，{}", reason));
}

// The exchange's smallest pledged nominal value in yuan; null on an exchange that sets none.
PyObject* min_repo_value(py::handle repo_ins) {
  if (compare(get_attr(repo_ins, KMB_NAME("exchange")), KMB_NAME("XSHE"), Py_EQ)) {
    return KMB_KEPT(py::int_(1000));
  }
  if (compare(get_attr(repo_ins, KMB_NAME("exchange")), KMB_NAME("XSHG"), Py_EQ)) {
    return KMB_KEPT(py::int_(100000));
  }
  return nullptr;
}

// The caller's account is not used: the bond's position is looked up by the sibling `api`.
constexpr Signature<2> can_submit_order_params{"can_submit_order", {"order", "|account=None"}};
py::object can_submit_order(const State& st, py::handle /*self*/, py::handle order, py::handle /*account*/) {
  // Only a repo pledging an exchange bond is checked; anything else passes unlooked-at.
  if (!compare(get_attr(order, KMB_NAME("side")), KMB_MEMBER(st, st.global(KMB_NAME("SIDE")), "FINANCING"), Py_EQ)) {
    return py::bool_(true);
  }
  py::object bond_id = get_attr(order, KMB_NAME("bond_order_book_id"));
  if (!truth(call(st.global(KMB_NAME("is_exchange_bond")), bond_id))) {
    return py::bool_(true);
  }

  // The account found here stands in for the caller's and is not used either.
  [[maybe_unused]] auto [bond_account, bond_position, bond_ins] =
      unpack<3>(call(st.global(KMB_NAME("_get_account_position_ins")), bond_id));
  py::object repo_ins =
      unpack<3>(call(st.global(KMB_NAME("_get_account_position_ins")), get_attr(order, KMB_NAME("order_book_id"))))[2];

  PyObject* minimum = min_repo_value(repo_ins);
  py::object holding_value =
      mul(get_attr(bond_position, KMB_NAME("closable")), get_attr(bond_ins, KMB_NAME("issue_price")));

  py::object quantity = get_attr(order, KMB_NAME("quantity"));
  if (minimum != nullptr && compare(quantity, minimum, Py_LT)) {
    fail(st, format("场内债券抵押名义价值应在 {} 元及以上", minimum));
    return py::bool_(false);
  }
  if (compare(quantity, holding_value, Py_GT)) {
    log(st, KMB_NAME("warning"), format("正回购名义金额超过当前持仓票面价值, 实际成交 {} 元", holding_value));
  }
  return py::bool_(true);
}

}  // namespace

py::object build_repo_validator(const py::module_& m, py::handle base) {
  return ClassBuilder(m, "RepoValidator", {base})
      .method<init_params, init>()
      .method<can_submit_order_params, can_submit_order>()
      .method<can_cancel_order_params, can_cancel_order>()
      .build();
}

}  // namespace kmb::validator
