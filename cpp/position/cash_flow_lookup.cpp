// Finding a day's record in a cash-flow table: straight from the table's
// record buffer when it has the native layout (read once per dtype and
// remembered), through NumPy's searchsorted for any other table.
// clang-format off
#include "cash_flow_frame.hpp"  // first: the host layer comes before Python's and pybind11's headers
#include "pybind11_numpy.hpp"
// clang-format on

#include "layout_cache.hpp"

namespace kmb::position {

namespace {

using cash_flow::Buffer;
using cash_flow::Layout;

bool native_byte_order(char order) { return order == '=' || order == (PY_LITTLE_ENDIAN ? '<' : '>'); }

// The byte offset of field `name` when it is a native `kind` number of `size`
// bytes (kind 'i' or 'f'), else -1.
std::ptrdiff_t native_field(PyObject* fields, PyObject* name, char kind, py::ssize_t size) {
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
  if (numpy::dtype_kind(field_dtype.ptr()) != kind || field_dtype.itemsize() != size ||
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
std::optional<Layout> read_layout(PyObject* descr, PyObject* fields, const TableKind& kind) {
  Layout layout;
  layout.date = native_field(fields, kind.date_field, 'i', 4);
  layout.cash_flow = native_field(fields, KMB_NAME("cash_flow"), 'f', 8);
  layout.cum_principal_payment = native_field(fields, KMB_NAME("cum_principal_payment"), 'f', 8);
  if (kind.receivable) {
    layout.payment_receivable = native_field(fields, KMB_NAME("payment_receivable"), 'f', 8);
  }
  if (layout.date < 0 || layout.cash_flow < 0 || layout.cum_principal_payment < 0 ||
      (kind.receivable && layout.payment_receivable < 0)) {
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

py::object number_to_float(py::handle v) { return steal_or_throw(PyNumber_Float(v.ptr())); }

// np.searchsorted(T[F], k) and an exact match, for any table whose date
// column T[F] has one date per record.
std::optional<DayRecord> find_day_generic(const State& st, py::handle table, const TableKind& kind, py::handle key) {
  py::object np = st.global(KMB_NAME("np"));
  py::object dates = get_item(table, kind.date_field);
  py::object pos = call_method(np, KMB_NAME("searchsorted"), dates, key);
  const Py_ssize_t count = PyObject_Length(dates.ptr());
  if (count < 0) {
    throw py::error_already_set();
  }
  if (compare(pos, py::int_(count), Py_GE) || compare(get_item(dates, pos), key, Py_NE)) {
    return std::nullopt;
  }
  DayRecord day;
  day.cash_flow = number_to_float(get_item(get_item(table, KMB_NAME("cash_flow")), pos));
  day.cum_principal_payment = get_item(get_item(table, KMB_NAME("cum_principal_payment")), pos);
  if (kind.receivable) {
    day.payment_receivable = number_to_float(get_item(get_item(table, KMB_NAME("payment_receivable")), pos));
  }
  return day;
}

}  // namespace

std::optional<Buffer> plain_vector(py::handle table) {
  if (!numpy::is_plain_array(table.ptr())) {
    return std::nullopt;
  }
  const numpy::ArrayView a = numpy::array_view(table.ptr());
  if (a.ndim != 1) {
    return std::nullopt;
  }
  return Buffer{a.data, a.strides[0], static_cast<std::size_t>(a.shape[0])};
}

std::optional<Layout> native_layout(py::handle table, const TableKind& kind) {
  PyObject* descr = numpy::array_view(table.ptr()).descr;
  PyObject* fields = numpy::dtype_fields(descr);
  if (fields == nullptr) {
    return std::nullopt;
  }
  if (const Layout* known = layout_cache->find(descr, fields, &kind)) {
    return *known;
  }
  std::optional<Layout> layout = read_layout(descr, fields, kind);
  if (layout) {
    layout_cache->remember(descr, fields, &kind, *layout);
  }
  return layout;
}

const TableKind& realized_table() {
  static const TableKind kind{KMB_NAME("payment_date"), false};
  return kind;
}

const TableKind& implied_table() {
  static const TableKind kind{KMB_NAME("date"), true};
  return kind;
}

std::optional<DayRecord> find_day(const State& st, py::handle table, const TableKind& kind, py::handle date) {
  py::object key = call(st.global(KMB_NAME("convert_date_to_date_int")), date);
  std::optional<Buffer> records = PyLong_Check(key.ptr()) ? plain_vector(table) : std::nullopt;
  std::optional<Layout> layout = records ? native_layout(table, kind) : std::optional<Layout>();
  if (!layout) {
    return find_day_generic(st, table, kind, key);
  }
  int overflow = 0;
  const long long k = PyLong_AsLongLongAndOverflow(key.ptr(), &overflow);
  if (k == -1 && PyErr_Occurred()) {
    throw py::error_already_set();
  }
  if (overflow != 0 || k < INT32_MIN || k > INT32_MAX) {
    return std::nullopt;  // no int32 date equals it
  }
  std::optional<std::size_t> pos = cash_flow::find_date(*records, layout->date, static_cast<std::int32_t>(k));
  if (!pos) {
    return std::nullopt;
  }
  const char* record = records->at(*pos);
  DayRecord day;
  day.cash_flow = float_of(cash_flow::read_field<double>(record, layout->cash_flow));
  day.cum_principal_payment = float_of(cash_flow::read_field<double>(record, layout->cum_principal_payment));
  if (kind.receivable) {
    day.payment_receivable = float_of(cash_flow::read_field<double>(record, layout->payment_receivable));
  }
  return day;
}

}  // namespace kmb::position
