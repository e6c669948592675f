// The module's cash-flow tables: each kind's record layout (a module
// constant) and its memoised function, which queries the market-data client
// and builds a NumPy structured array of that layout from the data frame it
// delivers, every amount checked to be a number and every date put through
// the host's converter.
// clang-format off
#include "cash_flow_layout.hpp"  // first: the host layer comes before Python's and pybind11's headers
#include "pybind11_numpy.hpp"
// clang-format on

#include <datetime.h>

#include <limits>
#include <utility>
#include <vector>

namespace kmb::position {

namespace {

using cash_flow::Buffer;
using cash_flow::TableKind;

// Whether `table` (a plain vector) can take `rows` records written one after
// the other: exactly that many, writable, contiguous.
bool takes_records(py::handle table, const Buffer& records, std::size_t rows) {
  const numpy::ArrayView a = numpy::array_view(table.ptr());
  const py::ssize_t itemsize = py::reinterpret_borrow<py::dtype>(a.descr).itemsize();
  return records.count == rows && a.c_contiguous && a.writeable && (rows < 2 || records.stride == itemsize);
}

// The NumPy scalar types an object column may hold as amounts, and the two
// that count as numbers to NumPy but are times (a duration is an integer type).
struct NumpyScalars {
  py::object generic, integer, floating, timedelta64, datetime64;
};

// A date, a time of day, a duration or a not-a-time, of Python, NumPy or
// pandas (whose Timestamp, Timedelta and NaT derive from Python's types).
bool is_time_value(py::handle value, const NumpyScalars& np) {
  PyObject* v = value.ptr();
  return PyDate_Check(v) || PyDelta_Check(v) || PyTime_Check(v) || is_instance(value, np.timedelta64) ||
         is_instance(value, np.datetime64);
}

[[noreturn]] void not_one_per_row(PyObject* name, std::size_t rows) {
  PyErr_Format(PyExc_ValueError, "cash-flow column '%U' does not hold one number per row (%zu rows)", name, rows);
  throw py::error_already_set();
}

// Column `name` as an array must be a vector of `rows` values.
void check_one_per_row(const py::array& values, PyObject* name, std::size_t rows) {
  if (values.ndim() != 1 || static_cast<std::size_t>(values.shape(0)) != rows) {
    not_one_per_row(name, rows);
  }
}

// A list of `rows` items that this code alone holds (a copy of `list`), so
// that Python code run while it is read (an item's __bool__) cannot change it.
py::object own_list(py::handle list, PyObject* name, std::size_t rows) {
  py::object copy = steal_or_throw(PySequence_List(list.ptr()));
  if (static_cast<std::size_t>(PyList_GET_SIZE(copy.ptr())) != rows) {
    not_one_per_row(name, rows);
  }
  return copy;
}

// One amount of an object column: a missing value (None, NaN, pandas' NA, as
// `missing` tells) is NaN; a real number (Python or NumPy, Decimal, Fraction)
// is its float value; anything else is refused. Text would parse ("1.5"), and
// a boolean, a date or the real part of a complex number would pass for an
// amount, so they are refused before float() is asked; so are sequences (text,
// lists, arrays), whose float() either parses or fails with no word of where.
//
// Times are refused even when missing: a not-a-time (pandas' NaT, NumPy's
// NaT) is a date or a duration, not a missing amount, and NumPy's durations
// are integers to it.
[[noreturn]] void refuse_amount(PyObject* name, PyObject* v) {
  PyErr_Format(PyExc_TypeError, "cash-flow column '%U' holds %.200s values, not numbers: %R", name, Py_TYPE(v)->tp_name,
               v);
  throw py::error_already_set();
}

double object_amount(PyObject* name, py::handle value, bool missing, const NumpyScalars& np) {
  PyObject* v = value.ptr();
  if (!PyFloat_Check(v) && is_time_value(value, np)) {
    refuse_amount(name, v);
  }
  if (missing) {
    return std::numeric_limits<double>::quiet_NaN();
  }
  if (PyFloat_Check(v)) {
    return PyFloat_AS_DOUBLE(v);
  }
  const PyNumberMethods* number = Py_TYPE(v)->tp_as_number;
  const bool refused =
      PySequence_Check(v) || PyBool_Check(v) || PyComplex_Check(v) || number == nullptr ||
      (number->nb_float == nullptr && number->nb_index == nullptr) ||
      (is_instance(value, np.generic) && !is_instance(value, np.integer) && !is_instance(value, np.floating));
  if (refused) {
    refuse_amount(name, v);
  }
  const double amount = PyFloat_AsDouble(v);
  if (amount == -1.0 && PyErr_Occurred()) {
    throw py::error_already_set();
  }
  return amount;
}

// The column as contiguous float64 values, one per row. Integer and float
// columns convert through NumPy. An object column (pandas' nullable numbers
// and text, Python numbers) is read value by value. Columns of any other kind
// (booleans, complex numbers, dates, durations, text, raw bytes) are refused:
// NumPy would turn them into numbers without a word.
py::array_t<double> float_column(const State& st, py::handle frame, PyObject* name, std::size_t rows) {
  py::object np = st.global(KMB_NAME("np"));
  py::object column = get_item(frame, name);
  auto values = py::array::ensure(call_method(np, KMB_NAME("asarray"), column));
  if (!values) {
    throw py::error_already_set();
  }
  check_one_per_row(values, name, rows);
  const char kind = numpy::dtype_kind(values.dtype().ptr());
  if (kind == 'i' || kind == 'u' || kind == 'f') {
    // What np.ascontiguousarray gave is read as `rows` contiguous doubles:
    // made so here (a copy when it is not) and its length checked again.
    auto converted = py::array_t<double, py::array::c_style | py::array::forcecast>::ensure(
        call_kw(get_attr(np, KMB_NAME("ascontiguousarray")), {values}, {get_attr(np, KMB_NAME("float64"))},
                KMB_KEYWORDS("dtype")));
    if (!converted) {
      throw py::error_already_set();
    }
    check_one_per_row(converted, name, rows);
    return converted;
  }
  if (kind != 'O') {
    PyErr_Format(PyExc_TypeError, "cash-flow column '%U' holds %S values, not numbers", name, values.dtype().ptr());
    throw py::error_already_set();
  }
  const NumpyScalars scalars{get_attr(np, KMB_NAME("generic")), get_attr(np, KMB_NAME("integer")),
                             get_attr(np, KMB_NAME("floating")), get_attr(np, KMB_NAME("timedelta64")),
                             get_attr(np, KMB_NAME("datetime64"))};
  py::object missing = call(get_attr(py::module_::import("pandas"), KMB_NAME("isna")), values);
  py::object items = own_list(call_method(values, KMB_NAME("tolist")), name, rows);
  py::object flags = own_list(call_method(missing, KMB_NAME("tolist")), name, rows);
  py::array_t<double> out(static_cast<py::ssize_t>(rows));
  double* data = out.mutable_data();
  for (std::size_t i = 0; i < rows; ++i) {
    const auto at = static_cast<Py_ssize_t>(i);
    // Both lists are copies no other code holds: they keep their length, and
    // each item is held here while Python code (its __bool__) runs.
    py::object value = py::reinterpret_borrow<py::object>(PyList_GET_ITEM(items.ptr(), at));
    py::object flag = py::reinterpret_borrow<py::object>(PyList_GET_ITEM(flags.ptr(), at));
    data[i] = object_amount(name, value, truth(flag), scalars);
  }
  return out;
}

// convert(date) through the host's converter, checked to fit a 32-bit date field.
std::int32_t date_int(py::handle convert, py::handle date) {
  py::object value = call(convert, date);
  py::object index = steal_or_throw(PyNumber_Index(value.ptr()));
  int overflow = 0;
  const long long v = PyLong_AsLongLongAndOverflow(index.ptr(), &overflow);
  if (v == -1 && PyErr_Occurred()) {
    throw py::error_already_set();
  }
  if (overflow != 0 || v < INT32_MIN || v > INT32_MAX) {
    PyErr_Format(PyExc_OverflowError, "date %R does not fit a YYYYMMDD date field", value.ptr());
    throw py::error_already_set();
  }
  return static_cast<std::int32_t>(v);
}

// The index level `level` of the frame, each date through the host's converter.
std::vector<std::int32_t> date_level(const State& st, py::handle frame, PyObject* level, std::size_t rows) {
  py::object values = call_method(get_attr(frame, KMB_NAME("index")), KMB_NAME("get_level_values"), level);
  py::object convert = st.global(KMB_NAME("convert_date_to_date_int"));
  std::vector<std::int32_t> dates;
  dates.reserve(rows);
  py::object iterator = steal_or_throw(PyObject_GetIter(values.ptr()));
  while (PyObject* raw = PyIter_Next(iterator.ptr())) {
    py::object date = py::reinterpret_steal<py::object>(raw);
    dates.push_back(date_int(convert, date));
  }
  if (PyErr_Occurred()) {
    throw py::error_already_set();
  }
  if (dates.size() != rows) {
    PyErr_Format(PyExc_ValueError, "cash-flow index level '%U' holds %zu dates for %zu rows", level, dates.size(),
                 rows);
    throw py::error_already_set();
  }
  return dates;
}

// The kind's dtype kept for its tables (one per module load).
template <const TableKind& Kind>
py::object& kept_dtype(const State& st) {
  return &Kind == &cash_flow::realized ? st.realized_dtype : st.implied_dtype;
}

// np.dtype(<the kind's layout constant>), the very dtype object of the tables
// built before while the layout is the same: every table of a layout shares
// one dtype, and the layout reader, which remembers layouts per dtype
// (layout_cache.hpp), holds one entry per kind however many bonds are held.
// A dtype that carries metadata, which dtype equality does not compare, is
// used as it is.
template <const TableKind& Kind>
py::object layout_dtype(const State& st, py::handle np, PyObject* layout_name) {
  py::object dtype = call(get_attr(np, KMB_NAME("dtype")), st.global(layout_name));
  if (!get_attr(dtype, KMB_NAME("metadata")).is_none()) {
    return dtype;
  }
  py::object known = kept_dtype<Kind>(st);  // held: the comparison may run Python code
  if (known && compare(dtype, known, Py_EQ)) {
    return known;
  }
  kept_dtype<Kind>(st) = dtype;
  return dtype;
}

// A table of kind `Kind` laid out as the module constant of the kind's layout
// holds it, from the client's frame (None or empty: no table).
template <const TableKind& Kind>
py::object build_table(const State& st, py::handle frame) {
  if (frame.is_none() || truth(get_attr(frame, KMB_NAME("empty")))) {
    return py::none();
  }
  const Py_ssize_t length = PyObject_Length(frame.ptr());
  if (length < 0) {
    throw py::error_already_set();
  }
  const auto rows = static_cast<std::size_t>(length);
  std::vector<std::int32_t> dates = date_level(st, frame, KMB_NAME(Kind.date.source), rows);
  py::array_t<double> cash_flow = float_column(st, frame, KMB_NAME(Kind.cash_flow.source), rows);
  std::optional<py::array_t<double>> receivable;
  if constexpr (cash_flow::has_receivable(Kind)) {
    receivable = float_column(st, frame, KMB_NAME(Kind.receivable.source), rows);
  }
  py::array_t<double> principal = float_column(st, frame, KMB_NAME(Kind.cum_principal.source), rows);

  std::vector<cash_flow::Record> records = cash_flow::build_records(
      rows, dates.data(), cash_flow.data(), principal.data(), receivable ? receivable->data() : nullptr);

  PyObject* layout_name = KMB_NAME(Kind.layout);
  py::object np = st.global(KMB_NAME("np"));
  py::object table = call_method(np, KMB_NAME("empty"), py::int_(length), layout_dtype<Kind>(st, np, layout_name));
  std::optional<NativeTable> out = native_table<Kind>(table);
  if (!out) {
    PyErr_Format(PyExc_TypeError,
                 "%U must lay a cash-flow record out as a native int32 date and native float64 amounts, got %R",
                 layout_name, st.global(layout_name).ptr());
    throw py::error_already_set();
  }
  if (!takes_records(table, out->records, rows)) {
    PyErr_Format(PyExc_ValueError, "np.empty(%zu, %U) did not give a writable, contiguous array of %zu records", rows,
                 layout_name, rows);
    throw py::error_already_set();
  }
  cash_flow::write_records(records, out->layout, out->records);
  return table;
}

// <Kind.function>(order_book_ids): the client's frame of the bond, as a table.
template <const TableKind& Kind>
py::object table_of(const State& st, py::handle order_book_ids) {
  py::object client = st.global(KMB_NAME("bond"));
  py::object frame;
  if constexpr (Kind.query.dated) {
    frame = call_method(client, KMB_NAME(Kind.query.name), order_book_ids, KMB_KEPT(py::int_(Kind.query.first_date)),
                        KMB_KEPT(py::int_(Kind.query.last_date)));
  } else {
    frame = call_method(client, KMB_NAME(Kind.query.name), order_book_ids);
  }
  return build_table<Kind>(st, frame);
}

template <const TableKind& Kind>
constexpr Signature<1> table_of_params{Kind.function, {"order_book_ids"}};

// The kind's record layout as a list of (field name, type code) pairs, the
// names interned: a table's dtype keys its fields by these very strings,
// which the lookups then find by identity.
py::list layout_list(const TableKind& kind) {
  py::list list;
  for (const cash_flow::Field* field : cash_flow::fields(kind)) {
    if (field->name != nullptr) {
      list.append(py::make_tuple(intern(field->name), field->type));
    }
  }
  return list;
}

// The kind's function, memoised by the host's lru_cache(1024).
template <const TableKind& Kind>
void define_memoised(const py::module_& m) {
  py::object decorator = call(m.attr("lru_cache"), py::int_(1024));
  m.attr(Kind.function) = call(decorator, module_function<table_of_params<Kind>, table_of<Kind>>(m));
}

}  // namespace

void load_table_types() {
  numpy::load_api();
  PyDateTime_IMPORT;
  if (PyDateTimeAPI == nullptr) {
    throw py::error_already_set();
  }
}

void define_cash_flow_tables(const py::module_& m) {
  m.attr(cash_flow::realized.layout) = layout_list(cash_flow::realized);
  m.attr(cash_flow::implied.layout) = layout_list(cash_flow::implied);
  define_memoised<cash_flow::realized>(m);
  define_memoised<cash_flow::implied>(m);
}

}  // namespace kmb::position
