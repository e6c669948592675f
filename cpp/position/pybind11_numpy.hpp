// What the cash-flow tables read of NumPy's arrays and dtypes in C, without
// a Python call: fields of NumPy's own structs, reached through pybind11's
// private mirror of NumPy's C API (pybind11::detail: npy_api and the array
// and descriptor proxies). pybind11 does not promise to keep that mirror, so
// this header is the only place that touches it. Checked against pybind11
// 3.1.0; it needs 2.12 or later (the mirror of NumPy 2's descriptor).
//
// Included after position.hpp (the host layer comes before pybind11's headers).
#pragma once

#include <pybind11/numpy.h>

#include <cstddef>

namespace kmb::numpy {

static_assert(PYBIND11_VERSION_HEX >= 0x020C0000, "pybind11 2.12 or later mirrors NumPy 2's dtype descriptor");

namespace internal = pybind11::detail;

// pybind11's table of NumPy's C API, as load_api made it.
inline const internal::npy_api* loaded_api = nullptr;

// Makes pybind11's table of NumPy's C API. Making it imports NumPy and lets
// the GIL go, so it is made once, at load, never on a first call; the calls
// below read the table made.
inline void load_api() { loaded_api = &internal::npy_api::get(); }
inline const internal::npy_api& api() { return *loaded_api; }

// Whether `obj` is exactly an ndarray (no subclass).
inline bool is_plain_array(PyObject* obj) { return Py_TYPE(obj) == api().PyArray_Type_; }

// Whether `obj` is a dtype.
inline bool is_dtype(PyObject* obj) { return api().PyArrayDescr_Check_(obj); }

// What an ndarray's struct says of its records.
struct ArrayView {
  int ndim;
  char* data;
  const Py_ssize_t* shape;
  const Py_ssize_t* strides;
  PyObject* descr;  // borrowed from the array
  bool c_contiguous;
  bool writeable;
};

inline ArrayView array_view(PyObject* array) {
  const auto* a = internal::array_proxy(array);
  const int flags = a->flags;
  return ArrayView{a->nd,
                   a->data,
                   a->dimensions,
                   a->strides,
                   a->descr,
                   (flags & internal::npy_api::NPY_ARRAY_C_CONTIGUOUS_) != 0,
                   (flags & internal::npy_api::NPY_ARRAY_WRITEABLE_) != 0};
}

// The fields dictionary of a structured dtype, or null for any other dtype.
inline PyObject* dtype_fields(PyObject* descr) {
  constexpr int kVoid = internal::npy_api::NPY_VOID_;  // the type number of structured dtypes
  if (api().PyArray_RUNTIME_VERSION_ < 0x12) {
    const auto* d = internal::array_descriptor1_proxy(descr);
    return d->type_num == kVoid && d->names != nullptr ? d->fields : nullptr;
  }
  const auto* d = internal::array_descriptor2_proxy(descr);
  return d->type_num == kVoid && d->names != nullptr ? d->fields : nullptr;
}

// A dtype's kind ('i', 'f', 'O', ...) and byte order ('=', '<', '>', '|').
inline char dtype_kind(PyObject* descr) { return internal::array_descriptor_proxy(descr)->kind; }
inline char dtype_byteorder(PyObject* descr) { return internal::array_descriptor_proxy(descr)->byteorder; }

}  // namespace kmb::numpy
