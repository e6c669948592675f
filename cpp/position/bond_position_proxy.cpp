// BondPositionProxy: how a strategy sees a bond position; everything but its
// type is the host's StockPositionProxy.
#include "position.hpp"

namespace kmb::position {

namespace {

// INSTRUMENT_TYPE.BOND, whatever the position wrapped.
py::object type(const State& st, py::handle /*self*/) {
  return get_attr(st.global(KMB_NAME("INSTRUMENT_TYPE")), KMB_NAME("BOND"));
}

}  // namespace

py::object build_bond_position_proxy(const py::module_& m, py::handle base, py::handle instrument_types) {
  return ClassBuilder(m, "BondPositionProxy", {base})
      .attr("__instrument_types__", py::reinterpret_borrow<py::object>(instrument_types))
      .property<type>("type")
      .build();
}

}  // namespace kmb::position
