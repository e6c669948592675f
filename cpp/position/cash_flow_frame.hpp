// A table's records as NumPy holds them: what the day lookup
// (cash_flow_lookup.cpp) and the table build (cash_flow_build.cpp) share.
#pragma once

#include <optional>

#include "position.hpp"

namespace kmb::position {

// The records of a 1-D ndarray (exactly that type, no subclass), read as the
// array lays them out: NumPy keeps every one of them inside its buffer.
std::optional<cash_flow::Buffer> plain_vector(py::handle table);

// The native layout of the records of `table` (a plain vector) for a table
// of `kind`: a native int32 date field and native float64 amounts, each
// within a record. Empty when any field is missing or of another type.
std::optional<cash_flow::Layout> native_layout(py::handle table, const TableKind& kind);

}  // namespace kmb::position
