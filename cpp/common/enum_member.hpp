// `enumeration.<member>` for the host's Enum classes (SIDE.FINANCING,
// POSITION_DIRECTION.LONG, ...), the enumeration read from the module
// globals by the caller, at call time. A member of an Enum class can be
// neither rebound nor deleted, so it is remembered at its call site for as
// long as the same Enum class is given; for anything else (a test's stand-in
// namespace, say) the attribute is read each time.
//
//   py::object financing = KMB_MEMBER(st, st.global(KMB_NAME("SIDE")), "FINANCING");
#pragma once

#include "module.hpp"

namespace kmb {

// What one call site remembers: the Enum class last given and its member.
class EnumMember {
 public:
  constexpr EnumMember() = default;
  py::object get(const ModuleState& st, py::handle enumeration, PyObject* name);

 private:
  py::object enum_;
  py::object member_;
};

}  // namespace kmb

#define KMB_MEMBER(state, enumeration, member)                                                         \
  ([](const ::kmb::ModuleState& kmb_state, ::pybind11::handle kmb_enumeration) -> ::pybind11::object { \
    static ::kmb::Kept<::kmb::EnumMember> kmb_remembered;                                              \
    return kmb_remembered->get(kmb_state, kmb_enumeration, KMB_NAME(member));                          \
  }((state), (enumeration)))
