// BondPosition: a bond holding with its pledge book and payment receivable,
// its day start and settlement, and the two cash-flow variants.
#include <vector>

#include "position.hpp"

namespace kmb::position {

// ------------------------------------------------------------ helpers

namespace {

// The position's instrument's issue price: a record whose running principal
// sum reaches it redeems the bond in full.
bool redeemed(py::handle self, const DayRecord& day) {
  py::object issue_price = get_attr(get_attr(self, KMB_NAME("_instrument")), KMB_NAME("issue_price"));
  return compare(day.cum_principal_payment, issue_price, Py_GE);
}

py::object boolean(bool value) { return py::reinterpret_borrow<py::object>(value ? Py_True : Py_False); }

// obj.__init__(*args, **kwargs) with the arguments of a __new__ call after its class.
void init_through_object(py::handle obj, const Call& c, py::handle order_book_id, py::handle direction,
                         py::handle init_quantity) {
  const auto nargs = static_cast<std::size_t>(PyVectorcall_NARGS(static_cast<std::size_t>(c.nargs)));
  std::vector<PyObject*> argv;
  PyObject* kwnames = nullptr;
  argv.push_back(obj.ptr());
  if (nargs >= 1) {
    // The caller's own arguments after `cls`, keywords as they were given.
    kwnames = c.kwnames;
    const Py_ssize_t nkw = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
    for (std::size_t i = 1; i < nargs + static_cast<std::size_t>(nkw); ++i) {
      argv.push_back(c.args[i]);
    }
  } else {
    argv.push_back(order_book_id.ptr());
    argv.push_back(direction.ptr());
    if (init_quantity) {
      argv.push_back(init_quantity.ptr());
    }
  }
  const std::size_t positional = argv.size() - (kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames));
  py::object result = steal_or_throw(PyObject_VectorcallMethod(KMB_NAME("__init__"), argv.data(), positional, kwnames));
  if (!result.is_none()) {
    PyErr_Format(PyExc_TypeError, "__init__() should return None, not '%.200s'", Py_TYPE(result.ptr())->tp_name);
    throw py::error_already_set();
  }
}

}  // namespace

// ------------------------------------------------------- BondPosition

py::object bond_new(const State& st, py::handle /*unbound*/, const Call& c) {
  auto [cls, order_book_id, direction, init_quantity] = bind(sig::position_new, c);
  py::object env = call_method(st.global(KMB_NAME("Environment")), KMB_NAME("get_instance"));
  PyObject* chosen = KMB_NAME("BondPositionWithRealizedCashFlow");
  if (!truth(call(st.global(KMB_NAME("is_exchange_bond")), order_book_id))) {
    py::object source =
        get_attr(get_attr(get_attr(get_attr(env, KMB_NAME("config")), KMB_NAME("mod")), KMB_NAME("bond")),
                 KMB_NAME("valuation_source"));
    if (!compare(source, KMB_NAME("exchange"), Py_EQ)) {
      chosen = KMB_NAME("BondPositionWithImpliedCashFlow");
    }
  }
  py::object obj = call(st.object_new, st.global(chosen));
  // The interpreter initialises what __new__ returns only when it is an
  // instance of the class called; anything else is initialised here, once.
  if (!PyType_Check(cls.ptr()) || !PyObject_TypeCheck(obj.ptr(), reinterpret_cast<PyTypeObject*>(cls.ptr()))) {
    init_through_object(obj, c, order_book_id, direction, init_quantity);
  }
  return obj;
}

py::object bond_init(const State& st, py::handle self, const Call& c) {
  auto [order_book_id, direction, given_quantity] = bind(sig::position_init, c);
  py::object init_quantity = given_quantity ? py::reinterpret_borrow<py::object>(given_quantity) : int_zero();
  call_base(st.position, KMB_NAME("__init__"), self, order_book_id, direction, init_quantity);
  py::object data_proxy = get_attr(get_attr(self, KMB_NAME("_env")), KMB_NAME("data_proxy"));
  set_attr(self, KMB_NAME("_instrument"), call_method(data_proxy, KMB_NAME("instruments"), order_book_id));
  set_attr(self, KMB_NAME("_payment_receivable"), int_zero());
  py::handle integer = reinterpret_cast<PyObject*>(&PyLong_Type);
  set_attr(self, KMB_NAME("_due_settlement_dict"), call(st.global(KMB_NAME("defaultdict")), integer));
  return py::none();
}

py::object bond_set_state(const State& st, py::handle self, const Call& c) {
  auto [saved] = bind(sig::set_state, c);
  call_base(st.position, KMB_NAME("set_state"), self, saved);
  set_attr(self, KMB_NAME("_payment_receivable"),
           call_method(saved, KMB_NAME("get"), KMB_NAME("payment_receivable"), int_zero()));
  return py::none();
}

py::object bond_get_state(const State& st, py::handle self, const Call& c) {
  bind(sig::get_state, c);
  py::object saved = call_base(st.position, KMB_NAME("get_state"), self);
  py::object receivable = get_attr(self, KMB_NAME("_payment_receivable"));
  set_item(saved, KMB_NAME("payment_receivable"), receivable);
  return saved;
}

py::object bond_equity(const State& st, py::handle self) {
  return add(base_attr(st.position, KMB_NAME("equity"), self), get_attr(self, KMB_NAME("_payment_receivable")));
}

py::object bond_pledged_quantity(const State& st, py::handle self) {
  py::object book = get_attr(self, KMB_NAME("_due_settlement_dict"));
  if (PyDict_Check(book.ptr()) && PyDict_GET_SIZE(book.ptr()) == 0) {
    return int_zero();
  }
  // sum(book.values()): the pledge book as this class makes it (a plain
  // defaultdict) holding whole numbers that add up within 64 bits sums here,
  // to the very int sum() gives; anything else is left to sum() itself.
  if (Py_TYPE(book.ptr()) == reinterpret_cast<PyTypeObject*>(st.defaultdict.ptr())) {
    long long total = 0;
    bool plain = true;
    Py_ssize_t pos = 0;
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    while (plain && PyDict_Next(book.ptr(), &pos, &key, &value)) {
      int overflow = 0;
      const long long v = PyLong_CheckExact(value) ? PyLong_AsLongLongAndOverflow(value, &overflow) : 0;
      plain = PyLong_CheckExact(value) && overflow == 0 && !__builtin_add_overflow(total, v, &total);
    }
    if (plain) {
      return steal_or_throw(PyLong_FromLongLong(total));
    }
  }
  return call(st.sum, call_method(book, KMB_NAME("values")));
}

py::object bond_closable(const State& st, py::handle self) {
  py::object base = base_attr(st.position, KMB_NAME("closable"), self);
  // self.pledged_quantity: when the instance's class still resolves the name
  // to this module's own property (a data descriptor, which no instance
  // attribute can shadow) through the ordinary attribute lookup, its getter
  // is called here directly; otherwise the attribute is read.
  PyTypeObject* type = Py_TYPE(self.ptr());
  const bool own = st.pledged_quantity && type->tp_getattro == PyObject_GenericGetAttr &&
                   _PyType_Lookup(type, KMB_NAME("pledged_quantity")) == st.pledged_quantity.ptr();
  return sub(base, own ? bond_pledged_quantity(st, self) : get_attr(self, KMB_NAME("pledged_quantity")));
}

py::object bond_apply_trade(const State& st, py::handle self, const Call& c) {
  auto [trade] = bind(sig::apply_trade, c);
  if (compare(get_attr(trade, KMB_NAME("side")), KMB_MEMBER(st, st.global(KMB_NAME("SIDE")), "FINANCING"), Py_NE)) {
    return call_base(st.position, KMB_NAME("apply_trade"), self, trade);
  }
  if (!is_instance(trade, st.global(KMB_NAME("RepoTrade")))) {
    raise_formatted(PyExc_TypeError, "financing trade requires type of RepoTrade, current type: {}", type_of(trade));
  }
  // self._due_settlement_dict[trade.due_settlement_date] += trade.pledged_quantity
  py::object book = get_attr(self, KMB_NAME("_due_settlement_dict"));
  py::object due = get_attr(trade, KMB_NAME("due_settlement_date"));
  py::object pledged = get_item(book, due);
  pledged = iadd(pledged, get_attr(trade, KMB_NAME("pledged_quantity")));
  set_item(book, due, pledged);
  return py::none();
}

py::object bond_before_trading(const State& st, py::handle self, const Call& c) {
  auto [trading_date] = bind(sig::before_trading, c);
  py::object delta_cash = call_base(st.position, KMB_NAME("before_trading"), self, trading_date);
  py::object per_unit = call_method(self, KMB_NAME("_get_cash_flow_receivable"), trading_date);
  py::object payment_receivable = mul(per_unit, get_attr(self, KMB_NAME("quantity")));
  set_attr(self, KMB_NAME("_payment_receivable"),
           iadd(get_attr(self, KMB_NAME("_payment_receivable")), payment_receivable));
  return delta_cash;
}

py::object bond_settlement(const State& st, py::handle self, const Call& c) {
  auto [trading_date] = bind(sig::settlement, c);
  call_base(st.position, KMB_NAME("settlement"), self, trading_date);
  py::object delta_cash = int_zero();
  auto [per_unit, de_listed] = unpack<2>(call_method(self, KMB_NAME("_get_cash_flow"), trading_date));
  py::object payment = mul(per_unit, get_attr(self, KMB_NAME("quantity")));
  if (compare(payment, int_zero(), Py_NE)) {
    set_attr(self, KMB_NAME("_payment_receivable"), isub(get_attr(self, KMB_NAME("_payment_receivable")), payment));
    delta_cash = iadd(delta_cash, payment);
  }
  if (truth(de_listed)) {
    set_attr(self, KMB_NAME("_today_quantity"), int_zero());
    set_attr(self, KMB_NAME("_old_quantity"), int_zero());
  }
  // Release the pledges of every repo due on or before this day.
  py::object book = get_attr(self, KMB_NAME("_due_settlement_dict"));
  if (!PyDict_Check(book.ptr()) || PyDict_GET_SIZE(book.ptr()) != 0) {
    std::vector<py::object> due;
    py::object iterator = steal_or_throw(PyObject_GetIter(book.ptr()));
    while (PyObject* raw = PyIter_Next(iterator.ptr())) {
      py::object date = py::reinterpret_steal<py::object>(raw);
      if (compare(date, trading_date, Py_LE)) {
        due.push_back(std::move(date));
      }
    }
    if (PyErr_Occurred()) {
      throw py::error_already_set();
    }
    for (const py::object& date : due) {
      del_item(book, date);
    }
  }
  return delta_cash;
}

py::object bond_get_cash_flow_receivable(const State& /*st*/, py::handle /*self*/, const Call& c) {
  bind(sig::get_cash_flow_receivable, c);
  PyErr_SetNone(PyExc_NotImplementedError);
  throw py::error_already_set();
}

py::object bond_get_cash_flow(const State& /*st*/, py::handle /*self*/, const Call& c) {
  bind(sig::get_cash_flow, c);
  PyErr_SetNone(PyExc_NotImplementedError);
  throw py::error_already_set();
}

// --------------------------------------------- realized cash-flow variant

py::object realized_get_cash_flow(const State& st, py::handle self, const Call& c) {
  auto [date] = bind(sig::get_cash_flow, c);
  py::object table = call(st.global(KMB_NAME("_all_real_cash_flow")), get_attr(self, KMB_NAME("_order_book_id")));
  if (table.is_none()) {
    return st.no_cash_flow;
  }
  std::optional<DayRecord> day = find_day(st, table, realized_table(), date);
  if (!day) {
    return st.no_cash_flow;
  }
  return py::make_tuple(day->cash_flow, boolean(redeemed(self, *day)));
}

py::object realized_get_cash_flow_receivable(const State& /*st*/, py::handle self, const Call& c) {
  auto [date] = bind(sig::get_cash_flow_receivable, c);
  auto [cash_flow, de_listed] = unpack<2>(call_method(self, KMB_NAME("_get_cash_flow"), date));
  return cash_flow;
}

// ---------------------------------------------- implied cash-flow variant

py::object implied_get_day_cash_flow(const State& st, py::handle self, const Call& c) {
  auto [date] = bind(sig::get_day_cash_flow, c);
  py::object table = call(st.global(KMB_NAME("_all_implied_cash_flow")), get_attr(self, KMB_NAME("_order_book_id")));
  if (table.is_none()) {
    return st.no_day_cash_flow;
  }
  std::optional<DayRecord> day = find_day(st, table, implied_table(), date);
  if (!day) {
    return st.no_day_cash_flow;
  }
  return py::make_tuple(day->cash_flow, day->payment_receivable, boolean(redeemed(self, *day)));
}

py::object implied_get_cash_flow_receivable(const State& /*st*/, py::handle self, const Call& c) {
  auto [date] = bind(sig::get_cash_flow_receivable, c);
  auto [cash_flow, receivable, de_listed] = unpack<3>(call_method(self, KMB_NAME("_get_day_cash_flow"), date));
  // A payment day on which nothing was booked earlier books the payment itself.
  if (compare(cash_flow, int_zero(), Py_NE) &&
      compare(get_attr(self, KMB_NAME("_payment_receivable")), int_zero(), Py_EQ)) {
    return cash_flow;
  }
  return receivable;
}

py::object implied_get_cash_flow(const State& /*st*/, py::handle self, const Call& c) {
  auto [date] = bind(sig::get_cash_flow, c);
  auto [cash_flow, receivable, de_listed] = unpack<3>(call_method(self, KMB_NAME("_get_day_cash_flow"), date));
  return py::make_tuple(cash_flow, de_listed);
}

}  // namespace kmb::position
