// The cash-flow hooks as BondPosition and its variants call them: through the
// instance, as `self._get_cash_flow(date)` would, so that a subclass that
// overrides a hook, or an instance attribute of the hook's name, is called
// instead. When the instance's lookup finds a variant's own method (the very
// descriptor its class was built with), that method's body runs here
// directly: the same body the call would reach, without the round trip
// through the interpreter.
#include "position.hpp"

namespace kmb::position {

py::object cash_flow_receivable_of(const State& st, py::handle self, py::handle date) {
  const Method hook(self, KMB_NAME("_get_cash_flow_receivable"));
  if (hook.is(st.realized_receivable.ptr(), self)) {
    return realized_hooks::get_cash_flow_receivable(st, self, date);
  }
  if (hook.is(st.implied_receivable.ptr(), self)) {
    return implied_hooks::get_cash_flow_receivable(st, self, date);
  }
  return hook(self, date);
}

py::object cash_flow_of(const State& st, py::handle self, py::handle date) {
  const Method hook(self, KMB_NAME("_get_cash_flow"));
  if (hook.is(st.realized_cash_flow.ptr(), self)) {
    return realized_hooks::get_cash_flow(st, self, date);
  }
  if (hook.is(st.implied_cash_flow.ptr(), self)) {
    return implied_hooks::get_cash_flow(st, self, date);
  }
  return hook(self, date);
}

py::object day_cash_flow_of(const State& st, py::handle self, py::handle date) {
  const Method hook(self, KMB_NAME("_get_day_cash_flow"));
  if (hook.is(st.implied_day_cash_flow.ptr(), self)) {
    return implied_hooks::get_day_cash_flow(st, self, date);
  }
  return hook(self, date);
}

}  // namespace kmb::position
