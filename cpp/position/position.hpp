// korvane_mod_bond.position: bond and repo positions, their cash-flow tables
// and the proxies through which a strategy sees them.
#pragma once

#include <array>
#include <optional>

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
};

inline py::object int_zero() { return steal_or_throw(PyLong_FromLong(0)); }

// ------------------------------------------------------ the parameters
//
// Of every callable of the module: bound by its body, shown as its signature.
namespace sig {
inline const Signature<1> all_real_cash_flow{"_all_real_cash_flow", {"order_book_ids"}};
inline const Signature<1> all_implied_cash_flow{"_all_implied_cash_flow", {"order_book_ids"}};
inline const Signature<4> position_new{"__new__", {"cls", "order_book_id", "direction", "|init_quantity=0"}};
inline const Signature<3> position_init{"__init__", {"order_book_id", "direction", "|init_quantity=0"}};
inline const Signature<1> set_state{"set_state", {"state"}};
inline const Signature<0> get_state{"get_state", {}};
inline const Signature<1> apply_trade{"apply_trade", {"trade"}};
inline const Signature<1> before_trading{"before_trading", {"trading_date"}};
inline const Signature<1> settlement{"settlement", {"trading_date"}};
inline const Signature<1> get_cash_flow_receivable{"_get_cash_flow_receivable", {"date_"}};
inline const Signature<1> get_cash_flow{"_get_cash_flow", {"date_"}};
inline const Signature<1> get_day_cash_flow{"_get_day_cash_flow", {"date_"}};
}  // namespace sig

// --------------------------------------------------- cash-flow tables

// The two table kinds: the name of the date field and whether the table
// carries the amount that becomes receivable.
struct TableKind {
  PyObject* date_field;
  bool receivable;
};

const TableKind& realized_table();
const TableKind& implied_table();

// The values of one day's record; `payment_receivable` is null for a realized table.
struct DayRecord {
  py::object cash_flow;              // a Python float
  py::object cum_principal_payment;  // the running principal sum, compared with the issue price
  py::object payment_receivable;     // a Python float
};

// The record dated exactly `date` (through the host's date conversion), if any.
std::optional<DayRecord> find_day(const State& st, py::handle table, const TableKind& kind, py::handle date);

// _all_real_cash_flow(order_book_ids) and _all_implied_cash_flow(order_book_ids).
py::object all_real_cash_flow(const State& st, py::handle module, const Call& call);
py::object all_implied_cash_flow(const State& st, py::handle module, const Call& call);

// What the tables' build needs made once, at load: NumPy's C API as pybind11
// reaches it, and Python's date and time types.
void load_table_types();

// ------------------------------------------------------ BondPosition

py::object bond_new(const State& st, py::handle unbound, const Call& call);
py::object bond_init(const State& st, py::handle self, const Call& call);
py::object bond_set_state(const State& st, py::handle self, const Call& call);
py::object bond_get_state(const State& st, py::handle self, const Call& call);
py::object bond_equity(const State& st, py::handle self);
py::object bond_pledged_quantity(const State& st, py::handle self);
py::object bond_closable(const State& st, py::handle self);
py::object bond_apply_trade(const State& st, py::handle self, const Call& call);
py::object bond_before_trading(const State& st, py::handle self, const Call& call);
py::object bond_settlement(const State& st, py::handle self, const Call& call);
py::object bond_get_cash_flow_receivable(const State& st, py::handle self, const Call& call);
py::object bond_get_cash_flow(const State& st, py::handle self, const Call& call);

// The two cash-flow variants.
py::object realized_get_cash_flow_receivable(const State& st, py::handle self, const Call& call);
py::object realized_get_cash_flow(const State& st, py::handle self, const Call& call);
py::object implied_get_day_cash_flow(const State& st, py::handle self, const Call& call);
py::object implied_get_cash_flow_receivable(const State& st, py::handle self, const Call& call);
py::object implied_get_cash_flow(const State& st, py::handle self, const Call& call);

// ------------------------------------------------------ RepoPosition

py::object repo_zero(const State& st, py::handle self);
py::object repo_equity(const State& st, py::handle self);
py::object repo_init(const State& st, py::handle self, const Call& call);
py::object repo_apply_trade(const State& st, py::handle self, const Call& call);
py::object repo_settlement(const State& st, py::handle self, const Call& call);

// ----------------------------------------------------------- proxies

py::object bond_proxy_type(const State& st, py::handle self);
py::object repo_proxy_type(const State& st, py::handle self);

}  // namespace kmb::position
