#include "names.hpp"

namespace kmb {

py::object intern(const char* text) { return steal_or_throw(PyUnicode_InternFromString(text)); }

py::object keyword_names(std::initializer_list<const char*> names) {
  py::tuple tuple(names.size());
  std::size_t i = 0;
  for (const char* name : names) {
    tuple[i++] = intern(name);
  }
  return std::move(tuple);
}

}  // namespace kmb
