#include "entry.hpp"

namespace kmb {

KMB_ENTRY void set_python_error() {
  try {
    throw;
  }
  KMB_LET_THREAD_EXIT_PASS
  catch (py::error_already_set& e) {
    e.restore();
  }
  catch (const py::builtin_exception& e) {
    e.set_error();
  }
  catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  }
  catch (const std::exception& e) {
    PyErr_SetString(PyExc_RuntimeError, e.what());
  }
  catch (...) {
    PyErr_SetString(PyExc_RuntimeError, "unknown C++ exception");
  }
}

}  // namespace kmb
