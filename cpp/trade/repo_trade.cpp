// RepoTrade: a repo's terms worked out when the trade is made (due date on a
// trading day, holding days, principal after haircut, amount due back, pledge,
// commission), its four factories and its position direction.
#include "trade.hpp"

namespace kmb::trade {

namespace {

// SIDE.FINANCING and SIDE.MARGIN, SIDE read at call time.
py::object financing_side(const State& st) { return KMB_MEMBER(st, st.global(KMB_NAME("SIDE")), "FINANCING"); }

py::object margin_side(const State& st) { return KMB_MEMBER(st, st.global(KMB_NAME("SIDE")), "MARGIN"); }

// The date part of a date-and-time value.
py::object date_of(py::handle dt) { return call_method(dt, KMB_NAME("date")); }

// The due settlement date: `repo_period` calendar days after the trading date,
// moved once to the next trading day when it falls on a holiday or weekend.
py::object due_date(const State& st, py::handle env, py::handle data_proxy, py::handle repo_period) {
  py::object period = call_kw(st.timedelta, {}, {repo_period}, KMB_KEYWORDS("days"));
  py::object candidate = date_of(add(get_attr(env, KMB_NAME("trading_dt")), period));
  py::object midnight = call(st.datetime, get_attr(candidate, KMB_NAME("year")), get_attr(candidate, KMB_NAME("month")),
                             get_attr(candidate, KMB_NAME("day")));
  if (truth(call_method(data_proxy, KMB_NAME("is_trading_date"), midnight))) {
    return candidate;
  }
  return date_of(call_method(data_proxy, KMB_NAME("get_next_trading_date"), candidate));
}

// The keyword `name` of `kwargs`, or null when it was not given.
py::handle keyword(const py::object& kwargs, PyObject* name) {
  if (!kwargs) {
    return {};
  }
  PyObject* value = PyDict_GetItemWithError(kwargs.ptr(), name);
  if (value == nullptr && PyErr_Occurred()) {
    throw py::error_already_set();
  }
  return value;
}

py::object value_or(py::handle value, py::object fallback) {
  return value ? py::reinterpret_borrow<py::object>(value) : std::move(fallback);
}

// cls.__from_create__(order_id, price, amount, side, order_book_id, **keywords)
py::object create(py::handle cls, std::initializer_list<py::handle> positional,
                  std::initializer_list<py::handle> keywords = {}, py::handle kwnames = nullptr) {
  py::object factory = get_attr(cls, KMB_NAME("__from_create__"));
  return call_kw(factory, positional, keywords, kwnames);
}

// The cash that can be financed: the available cash less the commission on it.
constexpr Signature<2> calc_max_amount_params{"calc_max_amount", {"order_book_id", "available_cash"}};
py::object calc_max_amount(const State& st, py::handle /*cls*/, py::handle order_book_id, py::handle available_cash) {
  py::object rate = call(st.global(KMB_NAME("get_commission_rate")), order_book_id);
  return truediv(available_cash, add(py::int_(1), rate));
}

// The factory the four others call: the repo's terms from the instrument, the
// clock and the keywords given, handed to the host's own factory.
constexpr Signature<5> from_create_params{
    "__from_create__", {"order_id", "price", "amount", "side", "order_book_id"}, "kwargs"};
py::object from_create(const State& st, py::handle cls, py::handle order_id, py::handle price, py::handle amount,
                       py::handle trade_side, py::handle order_book_id, const py::object& kwargs) {
  py::object env = call_method(st.global(KMB_NAME("Environment")), KMB_NAME("get_instance"));
  py::object data_proxy = get_attr(env, KMB_NAME("data_proxy"));
  py::object ins = call_method(data_proxy, KMB_NAME("instruments"), order_book_id);

  py::handle given_period = keyword(kwargs, KMB_NAME("repo_period"));
  py::object repo_period = given_period && truth(given_period) ? py::reinterpret_borrow<py::object>(given_period)
                                                               : get_attr(ins, KMB_NAME("repo_period"));
  py::object haircut = value_or(keyword(kwargs, KMB_NAME("haircut")), py::int_(1));
  py::object pledged_quantity = value_or(keyword(kwargs, KMB_NAME("pledged_quantity")), py::int_(0));

  py::object due_settlement_date = due_date(st, env, data_proxy, repo_period);
  py::object calendar_date = date_of(get_attr(env, KMB_NAME("calendar_dt")));
  py::object actual_holding_days = get_attr(sub(due_settlement_date, calendar_date), KMB_NAME("days"));

  // principal × (1 + rate ÷ 365 × days), each step in this order, nothing rounded
  py::object principal = mul(amount, haircut);
  py::object due_settlement_amount =
      mul(principal, add(py::int_(1), mul(truediv(price, py::int_(365)), actual_holding_days)));

  py::object bond_id = py::none();
  py::object coupon_value = py::int_(0);
  if (compare(trade_side, financing_side(st), Py_EQ)) {
    bond_id = value_or(keyword(kwargs, KMB_NAME("bond_id")), py::none());
    coupon_value = get_attr(call_method(data_proxy, KMB_NAME("instruments"), bond_id), KMB_NAME("issue_price"));
  }

  py::object commission = call(st.global(KMB_NAME("calc_repo_commission")), order_book_id, principal);

  py::object open = get_attr(st.global(KMB_NAME("POSITION_EFFECT")), KMB_NAME("OPEN"));
  // The host's factory, reached through RepoTrade's parent and bound to `cls`.
  py::object base_factory = base_class_attr(st.trade_base, KMB_NAME("__from_create__"), cls);
  return call_kw(base_factory, {order_id, price, principal, trade_side, open, order_book_id},
                 {commission, repo_period, haircut, coupon_value, bond_id, actual_holding_days, due_settlement_amount,
                  due_settlement_date, pledged_quantity},
                 KMB_KEYWORDS("commission", "repo_period", "haircut", "coupon_value", "bond_id", "actual_holding_days",
                              "due_settlement_amount", "due_settlement_date", "pledged_quantity"));
}

constexpr Signature<7> create_repo_trade_params{
    "create_repo_trade", {"price", "amount", "order_book_id", "repo_period", "haircut", "bond_id", "pledged_quantity"}};
py::object create_repo_trade(const State& st, py::handle cls, py::handle price, py::handle amount,
                             py::handle order_book_id, py::handle repo_period, py::handle haircut, py::handle bond_id,
                             py::handle pledged_quantity) {
  return create(cls, {py::none(), price, amount, financing_side(st), order_book_id},
                {repo_period, haircut, bond_id, pledged_quantity},
                KMB_KEYWORDS("repo_period", "haircut", "bond_id", "pledged_quantity"));
}

constexpr Signature<4> create_reverse_repo_trade_params{"create_reverse_repo_trade",
                                                        {"price", "amount", "order_book_id", "repo_period"}};
py::object create_reverse_repo_trade(const State& st, py::handle cls, py::handle price, py::handle amount,
                                     py::handle order_book_id, py::handle repo_period) {
  return create(cls, {py::none(), price, amount, margin_side(st), order_book_id}, {repo_period},
                KMB_KEYWORDS("repo_period"));
}

// The haircut's parameter is named "hairbut", and callers pass it by that name.
constexpr Signature<7> create_exchange_repo_trade_params{
    "create_exchange_repo_trade",
    {"order_id", "price", "amount", "order_book_id", "hairbut", "bond_id", "pledged_quantity"}};
py::object create_exchange_repo_trade(const State& st, py::handle cls, py::handle order_id, py::handle price,
                                      py::handle amount, py::handle order_book_id, py::handle hairbut,
                                      py::handle bond_id, py::handle pledged_quantity) {
  return create(cls, {order_id, price, amount, financing_side(st), order_book_id}, {bond_id, hairbut, pledged_quantity},
                KMB_KEYWORDS("bond_id", "haircut", "pledged_quantity"));
}

constexpr Signature<4> create_exchange_reverse_repo_trade_params{"create_exchange_reverse_repo_trade",
                                                                 {"order_id", "price", "amount", "order_book_id"}};
py::object create_exchange_reverse_repo_trade(const State& st, py::handle cls, py::handle order_id, py::handle price,
                                              py::handle amount, py::handle order_book_id) {
  return create(cls, {order_id, price, amount, margin_side(st), order_book_id});
}

// SHORT for a repo (financing: cash borrowed), LONG for a reverse repo.
py::object position_direction(const State& st, py::handle self) {
  py::object directions = st.global(KMB_NAME("POSITION_DIRECTION"));
  const bool financing = compare(get_attr(self, KMB_NAME("_side")), financing_side(st), Py_EQ);
  return financing ? KMB_MEMBER(st, directions, "SHORT") : KMB_MEMBER(st, directions, "LONG");
}

}  // namespace

py::object build_repo_trade(const py::module_& m, const State& st) {
  return ClassBuilder(m, "RepoTrade", {st.trade_base})
      .classmethod<calc_max_amount_params, calc_max_amount>()
      .classmethod<from_create_params, from_create>()
      .classmethod<create_repo_trade_params, create_repo_trade>()
      .classmethod<create_reverse_repo_trade_params, create_reverse_repo_trade>()
      .classmethod<create_exchange_repo_trade_params, create_exchange_repo_trade>()
      .classmethod<create_exchange_reverse_repo_trade_params, create_exchange_reverse_repo_trade>()
      .property<position_direction>("position_direction")
      .build();
}

}  // namespace kmb::trade
