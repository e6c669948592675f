/* The floors of floors.py made from compiled code: the same unavoidable
 * calls, attribute reads and writes, in the same order, through the C API.
 * What a C or C++ implementation of an operation cannot go below; set beside
 * the plain-Python floor, it shows what the interpreter itself makes cheaper
 * for Python code than for an extension (on 3.11+, specialised attribute reads
 * and Python-to-Python calls that never leave the interpreter loop).
 *
 * Benchmarks only: compiled by cfloor.py into the build folder. */
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#define OFFSET PY_VECTORCALL_ARGUMENTS_OFFSET

/* Set by setup(): the host's functions and the module namespaces read at call time. */
static PyObject *base_before_trading, *base_settlement, *real_table, *implied_table, *convert;
static PyObject *transaction_globals, *validator_globals;
static PyObject *s_order_book_id, *s_public_order_book_id, *s_quantity, *s_payment_receivable, *s_due_settlement_dict,
    *s_last_price, *s_last_quantity, *s_frozen_price, *s_is_exchange_bond, *s_exchange_max_commission,
    *s_exchange_commission_rate, *s_env, *s_data_proxy, *s_instruments, *s_round_lot, *s_get_position,
    *s_position_direction, *s_position_effect, *s_initial_issue_size, *s_side, *s_issue_price, *s_portfolio, *s_long,
    *s_position_direction_enum;

static PyObject* setup(PyObject* self, PyObject* args) {
  (void)self;
  if (!PyArg_ParseTuple(args, "OOOOOOO", &base_before_trading, &base_settlement, &real_table, &implied_table, &convert,
                        &transaction_globals, &validator_globals)) {
    return NULL;
  }
  PyObject* all[] = {base_before_trading, base_settlement,  real_table, implied_table, convert,
                     transaction_globals, validator_globals};
  for (size_t i = 0; i < sizeof all / sizeof all[0]; ++i) {
    Py_INCREF(all[i]);
  }
#define NAME(var, text) \
  if ((var = PyUnicode_InternFromString(text)) == NULL) return NULL
  NAME(s_order_book_id, "_order_book_id");
  NAME(s_public_order_book_id, "order_book_id");
  NAME(s_quantity, "quantity");
  NAME(s_payment_receivable, "_payment_receivable");
  NAME(s_due_settlement_dict, "_due_settlement_dict");
  NAME(s_last_price, "last_price");
  NAME(s_last_quantity, "last_quantity");
  NAME(s_frozen_price, "frozen_price");
  NAME(s_is_exchange_bond, "is_exchange_bond");
  NAME(s_exchange_max_commission, "_exchange_max_commission");
  NAME(s_exchange_commission_rate, "_exchange_commission_rate");
  NAME(s_env, "_env");
  NAME(s_data_proxy, "data_proxy");
  NAME(s_instruments, "instruments");
  NAME(s_round_lot, "round_lot");
  NAME(s_get_position, "get_position");
  NAME(s_position_direction, "position_direction");
  NAME(s_position_effect, "position_effect");
  NAME(s_initial_issue_size, "initial_issue_size");
  NAME(s_side, "side");
  NAME(s_issue_price, "issue_price");
  NAME(s_portfolio, "portfolio");
  NAME(s_long, "LONG");
  NAME(s_position_direction_enum, "POSITION_DIRECTION");
#undef NAME
  Py_RETURN_NONE;
}

/* Reads obj.name and drops it; 0, or -1 with the error set. */
static int touch(PyObject* obj, PyObject* name) {
  PyObject* v = PyObject_GetAttr(obj, name);
  Py_XDECREF(v);
  return v == NULL ? -1 : 0;
}

static int call_drop(PyObject* fn, PyObject* arg) {
  PyObject* v = PyObject_CallOneArg(fn, arg);
  Py_XDECREF(v);
  return v == NULL ? -1 : 0;
}

static PyObject* day_start(PyObject* const* args, Py_ssize_t nargs, PyObject* table) {
  if (nargs != 2) {
    PyErr_SetString(PyExc_TypeError, "day_start(p, d)");
    return NULL;
  }
  PyObject* argv[3] = {NULL, args[0], args[1]};
  PyObject* delta = PyObject_Vectorcall(base_before_trading, argv + 1, 2 | OFFSET, NULL);
  if (delta == NULL) {
    return NULL;
  }
  PyObject* obid = PyObject_GetAttr(args[0], s_order_book_id);
  if (obid == NULL || call_drop(table, obid) < 0 || call_drop(convert, args[1]) < 0 || touch(args[0], s_quantity) < 0) {
    Py_XDECREF(obid);
    Py_DECREF(delta);
    return NULL;
  }
  Py_DECREF(obid);
  PyObject* receivable = PyObject_GetAttr(args[0], s_payment_receivable);
  if (receivable == NULL || PyObject_SetAttr(args[0], s_payment_receivable, receivable) < 0) {
    Py_XDECREF(receivable);
    Py_DECREF(delta);
    return NULL;
  }
  Py_DECREF(receivable);
  return delta;
}

static PyObject* settlement(PyObject* const* args, Py_ssize_t nargs, PyObject* table) {
  if (nargs != 2) {
    PyErr_SetString(PyExc_TypeError, "settlement(p, d)");
    return NULL;
  }
  PyObject* argv[3] = {NULL, args[0], args[1]};
  PyObject* base = PyObject_Vectorcall(base_settlement, argv + 1, 2 | OFFSET, NULL);
  if (base == NULL) {
    return NULL;
  }
  Py_DECREF(base);
  PyObject* obid = PyObject_GetAttr(args[0], s_order_book_id);
  if (obid == NULL || call_drop(table, obid) < 0 || call_drop(convert, args[1]) < 0 || touch(args[0], s_quantity) < 0 ||
      touch(args[0], s_due_settlement_dict) < 0) {
    Py_XDECREF(obid);
    return NULL;
  }
  Py_DECREF(obid);
  return PyLong_FromLong(0);
}

static PyObject* realized_day_start(PyObject* m, PyObject* const* a, Py_ssize_t n) {
  (void)m;
  return day_start(a, n, real_table);
}
static PyObject* implied_day_start(PyObject* m, PyObject* const* a, Py_ssize_t n) {
  (void)m;
  return day_start(a, n, implied_table);
}
static PyObject* realized_settlement(PyObject* m, PyObject* const* a, Py_ssize_t n) {
  (void)m;
  return settlement(a, n, real_table);
}
static PyObject* implied_settlement(PyObject* m, PyObject* const* a, Py_ssize_t n) {
  (void)m;
  return settlement(a, n, implied_table);
}

/* A module global, read at call time (a new reference). */
static PyObject* global(PyObject* globals, PyObject* name) {
  PyObject* v = PyDict_GetItemWithError(globals, name);
  if (v == NULL) {
    if (!PyErr_Occurred()) {
      PyErr_SetObject(PyExc_NameError, name);
    }
    return NULL;
  }
  Py_INCREF(v);
  return v;
}

static PyObject* commission(PyObject* decider, PyObject* x, PyObject* price, PyObject* quantity) {
  if (touch(x, price) < 0 || touch(x, quantity) < 0) {
    return NULL;
  }
  PyObject* obid = PyObject_GetAttr(x, s_public_order_book_id);
  PyObject* is_exchange = obid ? global(transaction_globals, s_is_exchange_bond) : NULL;
  if (is_exchange == NULL) {
    Py_XDECREF(obid);
    return NULL;
  }
  int r = call_drop(is_exchange, obid);
  Py_DECREF(is_exchange);
  Py_DECREF(obid);
  if (r < 0 || touch(decider, s_exchange_max_commission) < 0 || touch(decider, s_exchange_commission_rate) < 0) {
    return NULL;
  }
  return PyLong_FromLong(0);
}

static int arity(Py_ssize_t n, Py_ssize_t expected) {
  if (n != expected) {
    PyErr_Format(PyExc_TypeError, "expected %zd arguments, got %zd", expected, n);
    return -1;
  }
  return 0;
}

static PyObject* bond_trade_commission(PyObject* m, PyObject* const* a, Py_ssize_t n) {
  (void)m;
  return arity(n, 2) < 0 ? NULL : commission(a[0], a[1], s_last_price, s_last_quantity);
}
static PyObject* bond_order_cost(PyObject* m, PyObject* const* a, Py_ssize_t n) {
  (void)m;
  return arity(n, 2) < 0 ? NULL : commission(a[0], a[1], s_frozen_price, s_quantity);
}

/* BondValidator on an order that passes: see floors.bond_can_submit_order. */
static PyObject* bond_can_submit_order(PyObject* m, PyObject* const* a, Py_ssize_t n) {
  (void)m;
  if (arity(n, 3) < 0) {
    return NULL;
  }
  PyObject *validator = a[0], *order = a[1], *account = a[2];
  PyObject *env = NULL, *obid = NULL, *proxy = NULL, *ins = NULL, *fn = NULL, *v = NULL, *dir = NULL, *portfolio = NULL,
           *enum_ = NULL, *long_ = NULL, *result = NULL;
  if ((env = PyObject_GetAttr(validator, s_env)) == NULL ||
      (obid = PyObject_GetAttr(order, s_public_order_book_id)) == NULL ||
      (proxy = PyObject_GetAttr(env, s_data_proxy)) == NULL) {
    goto done;
  }
  PyObject* argv[4] = {proxy, obid, NULL, NULL};
  if ((ins = PyObject_VectorcallMethod(s_instruments, argv, 2 | OFFSET, NULL)) == NULL ||
      (fn = global(validator_globals, s_is_exchange_bond)) == NULL || call_drop(fn, obid) < 0 ||
      touch(order, s_quantity) < 0 || touch(ins, s_round_lot) < 0 ||
      (dir = PyObject_GetAttr(order, s_position_direction)) == NULL) {
    goto done;
  }
  argv[0] = account;
  argv[2] = dir;
  if ((v = PyObject_VectorcallMethod(s_get_position, argv, 3 | OFFSET, NULL)) == NULL) {
    goto done;
  }
  Py_CLEAR(v);
  if (touch(order, s_position_effect) < 0 || touch(ins, s_initial_issue_size) < 0 || touch(order, s_side) < 0 ||
      touch(ins, s_issue_price) < 0 || (portfolio = PyObject_GetAttr(env, s_portfolio)) == NULL ||
      (enum_ = global(validator_globals, s_position_direction_enum)) == NULL ||
      (long_ = PyObject_GetAttr(enum_, s_long)) == NULL) {
    goto done;
  }
  argv[0] = portfolio;
  argv[2] = long_;
  if ((v = PyObject_VectorcallMethod(s_get_position, argv, 3 | OFFSET, NULL)) == NULL || touch(v, s_quantity) < 0) {
    goto done;
  }
  Py_INCREF(Py_True);
  result = Py_True;
done:
  Py_XDECREF(env);
  Py_XDECREF(obid);
  Py_XDECREF(proxy);
  Py_XDECREF(ins);
  Py_XDECREF(fn);
  Py_XDECREF(v);
  Py_XDECREF(dir);
  Py_XDECREF(portfolio);
  Py_XDECREF(enum_);
  Py_XDECREF(long_);
  return result;
}

#define FAST(name) \
  { #name, (PyCFunction)(void (*)(void))name, METH_FASTCALL, NULL }
static PyMethodDef methods[] = {
    {"setup", setup, METH_VARARGS, NULL},
    FAST(realized_day_start),
    FAST(implied_day_start),
    FAST(realized_settlement),
    FAST(implied_settlement),
    FAST(bond_trade_commission),
    FAST(bond_order_cost),
    FAST(bond_can_submit_order),
    {NULL, NULL, 0, NULL},
};

static struct PyModuleDef module = {PyModuleDef_HEAD_INIT, "_cfloor", NULL, -1, methods, NULL, NULL, NULL, NULL};

PyMODINIT_FUNC PyInit__cfloor(void) { return PyModule_Create(&module); }
