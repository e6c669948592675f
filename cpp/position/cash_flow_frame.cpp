// Cash-flow tables on the Python side: building a NumPy structured array from
// the data frame the market-data client delivers, and finding a day's record
// in a table, straight from its record buffer when it has the native layout.
// clang-format off
#include "position.hpp"  // first: the host layer comes before Python's and pybind11's headers
// clang-format on

#include <datetime.h>
#include <pybind11/numpy.h>

#include <iterator>
#include <limits>
#include <utility>

namespace kmb::position {

namespace {

namespace npy = py::detail;
using cash_flow::Buffer;
using cash_flow::Layout;

constexpr int kVoidTypeNum = 20;  // NPY_VOID, the type number of structured dtypes

bool native_byte_order(char order) { return order == '=' || order == (PY_LITTLE_ENDIAN ? '<' : '>'); }

// The fields dictionary of a structured dtype, or null for any other dtype.
PyObject* dtype_fields(PyObject* descr) {
  if (npy::npy_api::get().PyArray_RUNTIME_VERSION_ < 0x12) {
    const auto* d = npy::array_descriptor1_proxy(descr);
    return d->type_num == kVoidTypeNum && d->names != nullptr ? d->fields : nullptr;
  }
  const auto* d = npy::array_descriptor2_proxy(descr);
  return d->type_num == kVoidTypeNum && d->names != nullptr ? d->fields : nullptr;
}

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
  if (!PyTuple_Check(entry) || PyTuple_GET_SIZE(entry) < 2) {
    return -1;
  }
  if (!npy::npy_api::get().PyArrayDescr_Check_(PyTuple_GET_ITEM(entry, 0))) {
    return -1;
  }
  auto field_dtype = py::reinterpret_borrow<py::dtype>(PyTuple_GET_ITEM(entry, 0));
  const auto* proxy = npy::array_descriptor_proxy(field_dtype.ptr());
  if (proxy->kind != kind || field_dtype.itemsize() != size || !native_byte_order(proxy->byteorder)) {
    return -1;
  }
  const Py_ssize_t offset = PyLong_AsSsize_t(PyTuple_GET_ITEM(entry, 1));
  if (offset == -1 && PyErr_Occurred()) {
    throw py::error_already_set();
  }
  return offset;
}

// The native layout of a structured dtype for a table of `kind`: a native
// int32 date field and native float64 amounts. Empty when any field is
// missing or of another type.
std::optional<Layout> native_layout(PyObject* descr, const TableKind& kind) {
  PyObject* fields = dtype_fields(descr);
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

// The native layouts of the dtypes of the tables built or read lately, so
// that a day's lookup finds a table's fields without going through its dtype's
// field dictionary (a dozen scattered objects per table, on every lookup).
//
// An entry holds its dtype and the field dictionary the layout was read from,
// so neither address can be taken by another object while the entry lives,
// and it serves only while the dtype still has that very dictionary (renaming
// a dtype's fields gives it a new one). When the cache fills up, the entries
// whose dtype nobody but the cache holds any more are dropped; past
// kMaxSlots / 2 live dtypes it starts afresh.
class LayoutCache {
 public:
  // The layout remembered for (descr, kind), if it was read from `fields`.
  const Layout* find(PyObject* descr, PyObject* fields, const TableKind* kind) const {
    const Entry* e = slot_of(descr, kind);
    return e != nullptr && e->fields.ptr() == fields ? &e->layout : nullptr;
  }

  void remember(PyObject* descr, PyObject* fields, const TableKind* kind, const Layout& layout) {
    auto held_fields = py::reinterpret_borrow<py::object>(fields);
    if (Entry* e = slot_of(descr, kind)) {
      std::swap(e->fields, held_fields);  // the old dictionary let go on return, the entry whole
      e->layout = layout;
      return;
    }
    if ((size_ + 1) * 2 > slots_.size()) {
      make_room();
    }
    place(Entry{py::reinterpret_borrow<py::object>(descr), std::move(held_fields), kind, layout});
    ++size_;
  }

 private:
  // Entries are moved only into free slots, so a move never drops a reference
  // (pybind11's reference drop is the one that may throw, without the GIL).
  struct Entry {       // NOLINT(bugprone-exception-escape)
    py::object descr;  // empty: a free slot
    py::object fields;
    const TableKind* kind = nullptr;
    Layout layout;
  };
  static constexpr std::size_t kMinSlots = 256;
  static constexpr std::size_t kMaxSlots = 8192;  // a power of two

  std::size_t start(PyObject* descr, const TableKind* kind) const {
    auto h = reinterpret_cast<std::uintptr_t>(descr) ^ (reinterpret_cast<std::uintptr_t>(kind) << 1);
    h ^= h >> 17;
    h *= 0x9E3779B97F4A7C15ULL;
    return static_cast<std::size_t>(h >> 20) & (slots_.size() - 1);
  }

  const Entry* slot_of(PyObject* descr, const TableKind* kind) const {
    if (slots_.empty()) {
      return nullptr;
    }
    for (std::size_t i = start(descr, kind);; i = (i + 1) & (slots_.size() - 1)) {
      const Entry& e = slots_[i];
      if (!e.descr) {
        return nullptr;
      }
      if (e.descr.ptr() == descr && e.kind == kind) {
        return &e;
      }
    }
  }
  Entry* slot_of(PyObject* descr, const TableKind* kind) {
    return const_cast<Entry*>(std::as_const(*this).slot_of(descr, kind));
  }

  void place(Entry entry) {
    for (std::size_t i = start(entry.descr.ptr(), entry.kind);; i = (i + 1) & (slots_.size() - 1)) {
      if (!slots_[i].descr) {
        slots_[i] = std::move(entry);
        return;
      }
    }
  }

  // Drops the entries of dtypes that died everywhere but here; then grows the
  // table, or empties it when it may grow no more. The dropped entries are let
  // go last, with the cache consistent again.
  void make_room() {
    std::vector<Entry> live;
    std::vector<Entry> dropped;
    live.reserve(size_);
    for (Entry& e : slots_) {
      if (e.descr) {
        (Py_REFCNT(e.descr.ptr()) > 1 ? live : dropped).push_back(std::move(e));
      }
    }
    std::size_t slots = slots_.empty() ? kMinSlots : slots_.size();
    while ((live.size() + 1) * 2 > slots && slots < kMaxSlots) {
      slots *= 2;
    }
    if ((live.size() + 1) * 2 > slots) {
      std::move(live.begin(), live.end(), std::back_inserter(dropped));
      live.clear();
    }
    slots_.assign(slots, Entry{});
    size_ = live.size();
    for (Entry& e : live) {
      place(std::move(e));
    }
  }

  std::vector<Entry> slots_;
  std::size_t size_ = 0;
};

LayoutCache& layout_cache() {
  static Kept<LayoutCache> cache;
  return *cache;
}

// native_layout through the cache.
std::optional<Layout> cached_native_layout(PyObject* descr, const TableKind& kind) {
  PyObject* fields = dtype_fields(descr);
  if (fields == nullptr) {
    return std::nullopt;
  }
  if (const Layout* known = layout_cache().find(descr, fields, &kind)) {
    return *known;
  }
  std::optional<Layout> layout = native_layout(descr, kind);
  if (layout) {
    layout_cache().remember(descr, fields, &kind, *layout);
  }
  return layout;
}

// The records of a 1-D ndarray (exactly that type, no subclass), read as the
// array lays them out: NumPy keeps every one of them inside its buffer.
std::optional<Buffer> plain_vector(py::handle table) {
  const auto& api = npy::npy_api::get();
  if (Py_TYPE(table.ptr()) != api.PyArray_Type_) {
    return std::nullopt;
  }
  const auto* a = npy::array_proxy(table.ptr());
  if (a->nd != 1) {
    return std::nullopt;
  }
  return Buffer{a->data, a->strides[0], static_cast<std::size_t>(a->dimensions[0])};
}

// Whether `table` (a plain vector) can take `rows` records written one after
// the other: exactly that many, writable, contiguous.
bool takes_records(py::handle table, const Buffer& records, std::size_t rows) {
  const auto* a = npy::array_proxy(table.ptr());
  const py::ssize_t itemsize = py::reinterpret_borrow<py::dtype>(a->descr).itemsize();
  constexpr int needed = npy::npy_api::NPY_ARRAY_C_CONTIGUOUS_ | npy::npy_api::NPY_ARRAY_WRITEABLE_;
  return records.count == rows && (a->flags & needed) == needed && (rows < 2 || records.stride == itemsize);
}

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

// ------------------------------------------------------------ building

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
  const char kind = npy::array_descriptor_proxy(values.dtype().ptr())->kind;
  if (kind == 'i' || kind == 'u' || kind == 'f') {
    static const Kept<py::object> dtype_kw{keyword_names({"dtype"})};
    // What np.ascontiguousarray gave is read as `rows` contiguous doubles:
    // made so here (a copy when it is not) and its length checked again.
    auto converted = py::array_t<double, py::array::c_style | py::array::forcecast>::ensure(
        call_kw(get_attr(np, KMB_NAME("ascontiguousarray")), {values}, {get_attr(np, KMB_NAME("float64"))}, *dtype_kw));
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
  if (PyDateTimeAPI == nullptr) {
    PyDateTime_IMPORT;
    if (PyDateTimeAPI == nullptr) {
      throw py::error_already_set();
    }
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

// A table of `kind` laid out as the module constant `layout_name` holds it,
// from the client's frame whose columns are named by `columns`: the paid
// amount, the principal payment and (implied only) the receivable amount.
struct FrameColumns {
  PyObject* date_level;
  PyObject* cash_flow;
  PyObject* payment_receivable;
  PyObject* principal_payment;
};

py::object build_table(const State& st, py::handle frame, const TableKind& kind, PyObject* layout_name,
                       const FrameColumns& columns) {
  if (frame.is_none() || truth(get_attr(frame, KMB_NAME("empty")))) {
    return py::none();
  }
  const Py_ssize_t length = PyObject_Length(frame.ptr());
  if (length < 0) {
    throw py::error_already_set();
  }
  const auto rows = static_cast<std::size_t>(length);
  std::vector<std::int32_t> dates = date_level(st, frame, columns.date_level, rows);
  py::array_t<double> cash_flow = float_column(st, frame, columns.cash_flow, rows);
  std::optional<py::array_t<double>> receivable;
  if (kind.receivable) {
    receivable = float_column(st, frame, columns.payment_receivable, rows);
  }
  py::array_t<double> principal = float_column(st, frame, columns.principal_payment, rows);

  std::vector<cash_flow::Record> records = cash_flow::build_records(
      rows, dates.data(), cash_flow.data(), principal.data(), receivable ? receivable->data() : nullptr);

  py::object table =
      call_method(st.global(KMB_NAME("np")), KMB_NAME("empty"), py::int_(length), st.global(layout_name));
  std::optional<Buffer> out = plain_vector(table);
  std::optional<Layout> layout =
      out ? cached_native_layout(npy::array_proxy(table.ptr())->descr, kind) : std::optional<Layout>();
  if (!layout) {
    PyErr_Format(PyExc_TypeError,
                 "%U must lay a cash-flow record out as a native int32 date and native float64 amounts, got %R",
                 layout_name, st.global(layout_name).ptr());
    throw py::error_already_set();
  }
  if (!takes_records(table, *out, rows)) {
    PyErr_Format(PyExc_ValueError, "np.empty(%zu, %U) did not give a writable, contiguous array of %zu records", rows,
                 layout_name, rows);
    throw py::error_already_set();
  }
  cash_flow::write_records(records, *layout, *out);
  return table;
}

}  // namespace

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
  std::optional<Layout> layout =
      records ? cached_native_layout(npy::array_proxy(table.ptr())->descr, kind) : std::optional<Layout>();
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

py::object all_real_cash_flow(const State& st, py::handle /*module*/, const Call& c) {
  static const Signature<1> sig{"_all_real_cash_flow", {"order_book_ids"}};
  auto [order_book_ids] = bind(sig, c);
  py::object frame = call_method(st.global(KMB_NAME("bond")), KMB_NAME("realized_cash_flow"), order_book_ids);
  static const FrameColumns columns{KMB_NAME("payment_date"), KMB_NAME("cash_flow"), nullptr,
                                    KMB_NAME("principal_payment")};
  return build_table(st, frame, realized_table(), KMB_NAME("CASH_FLOW_DTYPES"), columns);
}

py::object all_implied_cash_flow(const State& st, py::handle /*module*/, const Call& c) {
  static const Signature<1> sig{"_all_implied_cash_flow", {"order_book_ids"}};
  auto [order_book_ids] = bind(sig, c);
  static const Kept<py::object> start{py::int_(20050102)};
  static const Kept<py::object> end{py::int_(29991231)};
  py::object frame =
      call_method(st.global(KMB_NAME("bond")), KMB_NAME("get_implied_cash_flow"), order_book_ids, *start, *end);
  static const FrameColumns columns{KMB_NAME("date"), KMB_NAME("total_payment"), KMB_NAME("payment_receivable"),
                                    KMB_NAME("principal_payment")};
  return build_table(st, frame, implied_table(), KMB_NAME("IMPLIED_CASH_FLOW_DTYPES"), columns);
}

}  // namespace kmb::position
