// The layout reader: where a table's records and their fields lie, read from
// the NumPy array that holds them. What the day lookup (cash_flow_lookup.cpp)
// reads a table through, and what the build (cash_flow_build.cpp) checks the
// array it has just made with before it writes the records in.
#pragma once

#include <optional>

#include "position.hpp"

namespace kmb::position {

// A table's records and where a kind's fields lie in each of them.
struct NativeTable {
  cash_flow::Buffer records;
  cash_flow::Layout layout;
};

// The records of `table` for a table of kind `Kind`, read as the array lays
// them out, when `table` is a 1-D ndarray (exactly that type, no subclass,
// whose records NumPy keeps inside its buffer) whose records hold each of the
// kind's fields natively (a native int32 date, native float64 amounts).
// Empty for any other table. The layout is remembered per dtype.
template <const cash_flow::TableKind& Kind>
std::optional<NativeTable> native_table(py::handle table);

}  // namespace kmb::position
