// The layout reader: where a table's records and their fields lie, read from
// the NumPy array that holds them. What the day lookup (cash_flow_lookup.cpp)
// reads a table through, and what the build (cash_flow_build.cpp) checks the
// array it has just made with before it writes the records in.
#pragma once

#include <optional>

#include "position.hpp"

namespace kmb::position {

// The records of a 1-D ndarray (exactly that type, no subclass), read as the
// array lays them out: NumPy keeps every one of them inside its buffer.
std::optional<cash_flow::Buffer> plain_vector(py::handle table);

// The native layout of the records of `table` (a plain vector) for a table of
// kind `Kind`: each of the kind's fields of its type (a native int32 date,
// native float64 amounts), within a record. Empty when any field is missing
// or of another type. Remembered per dtype.
template <const cash_flow::TableKind& Kind>
std::optional<cash_flow::Layout> native_layout(py::handle table);

}  // namespace kmb::position
