// The layout reader: a table's records straight from its buffer, and the
// byte offsets of a kind's fields read from the array's dtype (once per
// dtype, then remembered).
// clang-format off
#include "cash_flow_layout.hpp"  // first: the host layer comes before Python's and pybind11's headers
#include "pybind11_numpy.hpp"
// clang-format on

#include "layout_cache.hpp"

namespace kmb::position {

namespace {

using cash_flow::Buffer;
using cash_flow::Layout;
using cash_flow::TableKind;

bool native_byte_order(char order) { return order == '=' || order == (PY_LITTLE_ENDIAN ? '<' : '>'); }

// The byte offset of the field `name` when it is a native number of type
// `type` (a type code: kind and width), else -1.
std::ptrdiff_t native_field(PyObject* fields, PyObject* name, const char* type) {
  if (fields == nullptr || !PyDict_Check(fields)) {
    return -1;
  }
  PyObject* entry = PyDict_GetItemWithError(fields, name);
  if (entry == nullptr) {
    if (PyErr_Occurred()) {
      throw py::error_already_set();
    }
    return -1;
  }
  if (!PyTuple_Check(entry) || PyTuple_GET_SIZE(entry) < 2 || !numpy::is_dtype(PyTuple_GET_ITEM(entry, 0))) {
    return -1;
  }
  auto field_dtype = py::reinterpret_borrow<py::dtype>(PyTuple_GET_ITEM(entry, 0));
  if (numpy::dtype_kind(field_dtype.ptr()) != cash_flow::type_kind(type) ||
      static_cast<std::size_t>(field_dtype.itemsize()) != cash_flow::type_size(type) ||
      !native_byte_order(numpy::dtype_byteorder(field_dtype.ptr()))) {
    return -1;
  }
  const Py_ssize_t offset = PyLong_AsSsize_t(PyTuple_GET_ITEM(entry, 1));
  if (offset == -1 && PyErr_Occurred()) {
    throw py::error_already_set();
  }
  return offset;
}

// The native layout of a structured dtype whose fields dictionary is `fields`.
template <const TableKind& Kind>
std::optional<Layout> read_layout(PyObject* descr, PyObject* fields) {
  Layout layout;
  layout.date = native_field(fields, KMB_NAME(Kind.date.name), Kind.date.type);
  layout.cash_flow = native_field(fields, KMB_NAME(Kind.cash_flow.name), Kind.cash_flow.type);
  layout.cum_principal = native_field(fields, KMB_NAME(Kind.cum_principal.name), Kind.cum_principal.type);
  if constexpr (cash_flow::has_receivable(Kind)) {
    layout.receivable = native_field(fields, KMB_NAME(Kind.receivable.name), Kind.receivable.type);
  }
  if (layout.date < 0 || layout.cash_flow < 0 || layout.cum_principal < 0 ||
      (cash_flow::has_receivable(Kind) && layout.receivable < 0)) {
    return std::nullopt;
  }
  const py::ssize_t itemsize = py::reinterpret_borrow<py::dtype>(descr).itemsize();
  if (itemsize < 0 || !cash_flow::fits(layout, static_cast<std::size_t>(itemsize))) {
    return std::nullopt;
  }
  return layout;
}

// Never destroyed (see Kept); no Python code runs to make it.
Kept<LayoutCache> layout_cache;

}  // namespace

template <const TableKind& Kind>
std::optional<NativeTable> native_table(py::handle table) {
  if (!numpy::is_plain_array(table.ptr())) {
    return std::nullopt;
  }
  const numpy::ArrayView a = numpy::array_view(table.ptr());
  PyObject* fields = a.ndim == 1 ? numpy::dtype_fields(a.descr) : nullptr;
  if (fields == nullptr) {
    return std::nullopt;
  }
  const Buffer records{a.data, a.strides[0], static_cast<std::size_t>(a.shape[0])};
  if (const Layout* known = layout_cache->find(a.descr, fields, &Kind)) {
    return NativeTable{records, *known};
  }
  std::optional<Layout> layout = read_layout<Kind>(a.descr, fields);
  if (!layout) {
    return std::nullopt;
  }
  layout_cache->remember(a.descr, fields, &Kind, *layout);
  return NativeTable{records, *layout};
}

template std::optional<NativeTable> native_table<cash_flow::realized>(py::handle table);
template std::optional<NativeTable> native_table<cash_flow::implied>(py::handle table);

}  // namespace kmb::position
