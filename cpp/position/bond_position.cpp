// BondPosition: a bond holding with its pledge book and payment receivable,
// its day start and settlement. Creating one makes one of its two cash-flow
// variants (realized_cash_flow_position.cpp, implied_cash_flow_position.cpp),
// which answer the cash-flow hooks that are abstract here.
#include <vector>

#include "position.hpp"

namespace kmb::position {

bool redeemed(py::handle self, const DayRecord& day) {
  py::object issue_price = get_attr(get_attr(self, KMB_NAME("_instrument")), KMB_NAME("issue_price"));
  return compare(day.cum_principal, issue_price, Py_GE);
}

namespace {

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

// BondPosition(order_book_id, direction, init_quantity=0) makes the variant
// that follows the market of the bond and the configured valuation source.
constexpr Signature<4> new_params{"__new__", {"cls", "order_book_id", "direction", "|init_quantity=0"}};
py::object new_position(const State& st, py::handle cls, py::handle order_book_id, py::handle direction,
                        py::handle init_quantity, const Call& c) {
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

constexpr Signature<3> init_params{"__init__", {"order_book_id", "direction", "|init_quantity=0"}};
py::object init(const State& st, py::handle self, py::handle order_book_id, py::handle direction,
                py::handle given_quantity) {
  py::object init_quantity = given_quantity ? py::reinterpret_borrow<py::object>(given_quantity) : int_zero();
  call_base(st.position, KMB_NAME("__init__"), self, order_book_id, direction, init_quantity);
  py::object data_proxy = get_attr(get_attr(self, KMB_NAME("_env")), KMB_NAME("data_proxy"));
  set_attr(self, KMB_NAME("_instrument"), call_method(data_proxy, KMB_NAME("instruments"), order_book_id));
  set_attr(self, KMB_NAME("_payment_receivable"), int_zero());
  py::handle integer = reinterpret_cast<PyObject*>(&PyLong_Type);
  set_attr(self, KMB_NAME("_due_settlement_dict"), call(st.global(KMB_NAME("defaultdict")), integer));
  return py::none();
}

// The host's state, then the receivable saved with it.
constexpr Signature<1> set_state_params{"set_state", {"state"}};
py::object set_state(const State& st, py::handle self, py::handle saved) {
  call_base(st.position, KMB_NAME("set_state"), self, saved);
  set_attr(self, KMB_NAME("_payment_receivable"),
           call_method(saved, KMB_NAME("get"), KMB_NAME("payment_receivable"), int_zero()));
  return py::none();
}

// The host's state with the receivable under "payment_receivable"; the pledge book is not saved.
constexpr Signature<0> get_state_params{"get_state", {}};
py::object get_state(const State& st, py::handle self) {
  py::object saved = call_base(st.position, KMB_NAME("get_state"), self);
  py::object receivable = get_attr(self, KMB_NAME("_payment_receivable"));
  set_item(saved, KMB_NAME("payment_receivable"), receivable);
  return saved;
}

// The host's equity and the payment receivable.
py::object equity(const State& st, py::handle self) {
  return add(base_attr(st.position, KMB_NAME("equity"), self), get_attr(self, KMB_NAME("_payment_receivable")));
}

// The bonds pledged in repos not yet due: the sum of the pledge book.
py::object pledged_quantity(const State& st, py::handle self) {
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

// The host's closable quantity less the pledged bonds.
py::object closable(const State& st, py::handle self) {
  py::object base = base_attr(st.position, KMB_NAME("closable"), self);
  // self.pledged_quantity: when the instance's class still resolves the name
  // to this module's own property (a data descriptor, which no instance
  // attribute can shadow) through the ordinary attribute lookup, its getter
  // is called here directly; otherwise the attribute is read.
  PyTypeObject* type = Py_TYPE(self.ptr());
  const bool own = st.pledged_quantity && type->tp_getattro == PyObject_GenericGetAttr &&
                   _PyType_Lookup(type, KMB_NAME("pledged_quantity")) == st.pledged_quantity.ptr();
  return sub(base, own ? pledged_quantity(st, self) : get_attr(self, KMB_NAME("pledged_quantity")));
}

// A financing repo's trade files its pledge; any other trade is the host's to book.
constexpr Signature<1> apply_trade_params{"apply_trade", {"trade"}};
py::object apply_trade(const State& st, py::handle self, py::handle trade) {
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

// The day start: the day's receivable per bond times the quantity joins the receivable.
constexpr Signature<1> before_trading_params{"before_trading", {"trading_date"}};
py::object before_trading(const State& st, py::handle self, py::handle trading_date) {
  py::object delta_cash = call_base(st.position, KMB_NAME("before_trading"), self, trading_date);
  py::object per_unit = cash_flow_receivable_of(st, self, trading_date);
  py::object quantity = get_attr(self, KMB_NAME("quantity"));
  // self._payment_receivable += per_unit * quantity (made even when it adds nothing)
  double x = 0.0;
  double y = 0.0;
  py::object receivable;
  if (float_operands(per_unit.ptr(), quantity.ptr(), x, y)) {
    const double payment_receivable = x * y;
    receivable = add_float(get_attr(self, KMB_NAME("_payment_receivable")), payment_receivable);
  } else {
    py::object payment_receivable = mul(per_unit, quantity);
    receivable = iadd(get_attr(self, KMB_NAME("_payment_receivable")), payment_receivable);
  }
  set_attr(self, KMB_NAME("_payment_receivable"), receivable);
  return delta_cash;
}

// The day's payment: per_unit * quantity, or null when it is zero. Worked out
// in floating point when the two multiply as floats, so that a day without a
// payment makes no number at all.
py::object day_payment(py::handle per_unit, py::handle quantity) {
  double x = 0.0;
  double y = 0.0;
  if (float_operands(per_unit.ptr(), quantity.ptr(), x, y)) {
    const double payment = x * y;
    return payment != 0.0 ? float_of(payment) : py::object();
  }
  py::object payment = mul(per_unit, quantity);
  return compare(payment, int_zero(), Py_NE) ? payment : py::object();
}

// The day's end: the day's payment is paid out of the receivable, a
// redeemed bond's holding zeroed, and the pledges of repos due released.
constexpr Signature<1> settlement_params{"settlement", {"trading_date"}};
py::object settlement(const State& st, py::handle self, py::handle trading_date) {
  call_base(st.position, KMB_NAME("settlement"), self, trading_date);
  py::object delta_cash = int_zero();
  auto [per_unit, de_listed] = unpack<2>(cash_flow_of(st, self, trading_date));
  py::object payment = day_payment(per_unit, get_attr(self, KMB_NAME("quantity")));
  if (payment) {
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

// The cash-flow hooks, which each variant answers: abstract here.
constexpr Signature<1> get_cash_flow_receivable_params{"_get_cash_flow_receivable", {"date_"}};
constexpr Signature<1> get_cash_flow_params{"_get_cash_flow", {"date_"}};
py::object abstract_hook(const State& /*st*/, py::handle /*self*/, py::handle /*date*/) {
  PyErr_SetNone(PyExc_NotImplementedError);
  throw py::error_already_set();
}

}  // namespace

py::object build_bond_position(const py::module_& m, State& st, py::handle instrument_types) {
  py::object cls = ClassBuilder(m, "BondPosition", {st.position})
                       .attr("__instrument_types__", py::reinterpret_borrow<py::object>(instrument_types))
                       .staticmethod<new_params, new_position>()
                       .method<init_params, init>()
                       .method<set_state_params, set_state>()
                       .method<get_state_params, get_state>()
                       .property<equity>("equity", "持仓总权益")
                       .property<pledged_quantity>("pledged_quantity", "返回当前持仓量")
                       .property<closable>("closable")
                       .method<apply_trade_params, apply_trade>()
                       .method<before_trading_params, before_trading>()
                       .method<settlement_params, settlement>()
                       .method<get_cash_flow_receivable_params, abstract_hook>()
                       .method<get_cash_flow_params, abstract_hook>()
                       .build();
  st.pledged_quantity = class_member(cls, "pledged_quantity");
  return cls;
}

}  // namespace kmb::position
