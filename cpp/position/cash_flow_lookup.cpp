// Finding a day's record in a cash-flow table: straight from the table's
// record buffer when it has the native layout (cash_flow_layout.hpp), through
// NumPy's searchsorted for any other table.
#include "cash_flow_layout.hpp"

namespace kmb::position {

namespace {

using cash_flow::TableKind;

py::object number_to_float(py::handle v) { return steal_or_throw(PyNumber_Float(v.ptr())); }

// np.searchsorted(T[F], k) and an exact match, for any table whose date
// column T[F] has one date per record.
template <const TableKind& Kind>
std::optional<DayRecord> find_day_generic(const State& st, py::handle table, py::handle key) {
  py::object np = st.global(KMB_NAME("np"));
  py::object dates = get_item(table, KMB_NAME(Kind.date.name));
  py::object pos = call_method(np, KMB_NAME("searchsorted"), dates, key);
  const Py_ssize_t count = PyObject_Length(dates.ptr());
  if (count < 0) {
    throw py::error_already_set();
  }
  if (compare(pos, py::int_(count), Py_GE) || compare(get_item(dates, pos), key, Py_NE)) {
    return std::nullopt;
  }
  DayRecord day;
  day.cash_flow = number_to_float(get_item(get_item(table, KMB_NAME(Kind.cash_flow.name)), pos));
  day.cum_principal = get_item(get_item(table, KMB_NAME(Kind.cum_principal.name)), pos);
  if constexpr (cash_flow::has_receivable(Kind)) {
    day.receivable = number_to_float(get_item(get_item(table, KMB_NAME(Kind.receivable.name)), pos));
  }
  return day;
}

}  // namespace

template <const TableKind& Kind>
std::optional<DayRecord> find_day(const State& st, py::handle table, py::handle date) {
  py::object key = call(st.global(KMB_NAME("convert_date_to_date_int")), date);
  std::optional<NativeTable> native = PyLong_Check(key.ptr()) ? native_table<Kind>(table) : std::nullopt;
  if (!native) {
    return find_day_generic<Kind>(st, table, key);
  }
  long long k = 0;
  if (!PyLong_CheckExact(key.ptr()) || !exact_long(key.ptr(), k)) {
    int overflow = 0;
    k = PyLong_AsLongLongAndOverflow(key.ptr(), &overflow);
    if (k == -1 && PyErr_Occurred()) {
      throw py::error_already_set();
    }
    if (overflow != 0) {
      return std::nullopt;  // no int32 date equals it
    }
  }
  if (k < INT32_MIN || k > INT32_MAX) {
    return std::nullopt;  // no int32 date equals it
  }
  const cash_flow::Buffer& records = native->records;
  const cash_flow::Layout& layout = native->layout;
  std::optional<std::size_t> pos = cash_flow::find_date(records, layout.date, static_cast<std::int32_t>(k));
  if (!pos) {
    return std::nullopt;
  }
  const char* record = records.at(*pos);
  DayRecord day;
  day.cash_flow = float_of(cash_flow::read_field<double>(record, layout.cash_flow));
  day.cum_principal = float_of(cash_flow::read_field<double>(record, layout.cum_principal));
  if constexpr (cash_flow::has_receivable(Kind)) {
    day.receivable = float_of(cash_flow::read_field<double>(record, layout.receivable));
  }
  return day;
}

template std::optional<DayRecord> find_day<cash_flow::realized>(const State& st, py::handle table, py::handle date);
template std::optional<DayRecord> find_day<cash_flow::implied>(const State& st, py::handle table, py::handle date);

}  // namespace kmb::position
