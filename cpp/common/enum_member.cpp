#include "enum_member.hpp"

namespace kmb {

py::object EnumMember::get(const ModuleState& st, py::handle enumeration, PyObject* name) {
  if (enumeration.ptr() == enum_.ptr()) {
    return member_;
  }
  py::object member = get_attr(enumeration, name);
  if (PyType_Check(enumeration.ptr()) && is_instance(enumeration, st.enum_meta()) && is_instance(member, enumeration)) {
    // Both remembered before the ones they replace are let go.
    py::object old_enum = std::exchange(enum_, py::reinterpret_borrow<py::object>(enumeration));
    py::object old_member = std::exchange(member_, member);
  }
  return member;
}

}  // namespace kmb
