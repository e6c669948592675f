// korvane_mod_bond.position: bond and repo positions, their cash-flow tables
// and the proxies through which a strategy sees them.
#pragma once

#include <optional>

#include "cash_flow_kind.hpp"
#include "cash_flow_table.hpp"
#include "host.hpp"

namespace kmb::position {

// Host names and Python objects the positions work with, taken when the
// module loads (each load of the module has its own) and kept for the life of
// the process.
struct State : ModuleState {
  py::object position;          // the host class the two position models derive from
  py::object object_new;        // object.__new__
  py::object sum;               // builtins.sum
  py::object no_cash_flow;      // (0.0, False)
  py::object no_day_cash_flow;  // (0.0, 0.0, False)
  // BondPosition's own pledged_quantity property, as the class was built with it.
  py::object pledged_quantity;
  py::object defaultdict;  // collections.defaultdict, the pledge book's class
  // The variants' cash-flow hooks, the method descriptors their classes were
  // built with: when an instance's lookup finds one of them, its body runs
  // directly (see cash_flow_hooks.cpp).
  py::object realized_receivable{}, realized_cash_flow{};
  py::object implied_day_cash_flow{}, implied_receivable{}, implied_cash_flow{};
  // The dtype of each kind's tables, made from its layout constant: one
  // object per layout, shared by every table of that layout.
  mutable py::object realized_dtype{}, implied_dtype{};
};

inline py::object int_zero() { return steal_or_throw(PyLong_FromLong(0)); }

inline py::object boolean(bool value) { return py::reinterpret_borrow<py::object>(value ? Py_True : Py_False); }

// --------------------------------------------------- cash-flow tables

// What the tables' build needs made once, at load: NumPy's C API as pybind11
// reaches it, and Python's date and time types.
void load_table_types();

// The module's names of the two kinds (cash_flow_kind.hpp): each record
// layout, then each memoised function that builds a kind's table.
void define_cash_flow_tables(const py::module_& m);

// The values of one day's record; `receivable` is null in a kind without it.
struct DayRecord {
  py::object cash_flow;      // a Python float
  py::object cum_principal;  // the running principal sum, compared with the issue price
  py::object receivable;     // a Python float
};

// The table of kind `Kind` of the position's bond, as the module's memoised
// function (read at call time) gives it: <function>(self._order_book_id).
template <const cash_flow::TableKind& Kind>
py::object memoised_table(const State& st, py::handle self) {
  return call(st.global(KMB_NAME(Kind.function)), get_attr(self, KMB_NAME("_order_book_id")));
}

// The record of table `table` (of kind `Kind`) dated exactly `date` (through
// the host's date conversion), if any.
template <const cash_flow::TableKind& Kind>
std::optional<DayRecord> find_day(const State& st, py::handle table, py::handle date);

// Whether the day's record redeems the position's bond in full: its running
// principal sum reaches the issue price of the position's instrument.
bool redeemed(py::handle self, const DayRecord& day);

// ---------------------------------------------------- the cash-flow hooks
//
// The variants' bodies of the hooks (realized_cash_flow_position.cpp,
// implied_cash_flow_position.cpp), each a method of its class.
namespace realized_hooks {
py::object get_cash_flow(const State& st, py::handle self, py::handle date);
py::object get_cash_flow_receivable(const State& st, py::handle self, py::handle date);
}  // namespace realized_hooks
namespace implied_hooks {
py::object get_day_cash_flow(const State& st, py::handle self, py::handle date);
py::object get_cash_flow_receivable(const State& st, py::handle self, py::handle date);
py::object get_cash_flow(const State& st, py::handle self, py::handle date);
}  // namespace implied_hooks

// self._get_cash_flow_receivable(date), self._get_cash_flow(date) and
// self._get_day_cash_flow(date), called through the instance, so that a
// subclass's override or an instance attribute applies; a variant's own
// hook, found as its class was built, runs without a call through the
// interpreter (cash_flow_hooks.cpp).
py::object cash_flow_receivable_of(const State& st, py::handle self, py::handle date);
py::object cash_flow_of(const State& st, py::handle self, py::handle date);
py::object day_cash_flow_of(const State& st, py::handle self, py::handle date);

// --------------------------------------------------------- the classes
//
// Each built by its own file; `instrument_types` is the __instrument_types__
// of a class that serves one (the bond and repo positions and proxies).

py::object build_bond_position(const py::module_& m, State& st, py::handle instrument_types);
py::object build_realized_cash_flow_position(const py::module_& m, State& st, py::handle bond_position);
py::object build_implied_cash_flow_position(const py::module_& m, State& st, py::handle bond_position);
py::object build_repo_position(const py::module_& m, const State& st, py::handle instrument_types);
py::object build_bond_position_proxy(const py::module_& m, py::handle base, py::handle instrument_types);
py::object build_repo_position_proxy(const py::module_& m, py::handle base, py::handle instrument_types);

}  // namespace kmb::position
