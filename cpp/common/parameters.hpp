// A callable's parameters, in plain C++: its Signature, the one definition
// of them, what kind each parameter is, and the text signature the
// interpreter shows for them (inspect.signature, help()).
//
// A parameter is written as NumPy's own argument parser writes it:
//
//   "order"            required, by position or keyword
//   "|account=None"    optional from here on; "=None" is the default shown,
//                      the value the body takes when the argument is not given
//   "$flag=False"      keyword-only (and optional) from here on
#pragma once

#include <array>
#include <cstddef>
#include <stdexcept>
#include <string>
#include <string_view>

namespace kmb::parameters {

struct Parameter {
  std::string_view name;
  std::string_view shown_default;  // empty: none
  bool optional = false;
  bool keyword_only = false;
};

constexpr Parameter parse(const char* written) {
  Parameter p;
  std::string_view text(written);
  if (!text.empty() && (text[0] == '|' || text[0] == '$')) {
    p.optional = true;
    p.keyword_only = text[0] == '$';
    text.remove_prefix(1);
  }
  const std::size_t equals = text.find('=');
  p.name = text.substr(0, equals);
  if (equals != std::string_view::npos) {
    p.shown_default = text.substr(equals + 1);
  }
  return p;
}

// How many parameters come before the first optional one: the fewest positional arguments.
constexpr std::size_t count_required(const char* const* written, std::size_t n) {
  std::size_t i = 0;
  while (i < n && !parse(written[i]).optional) {
    ++i;
  }
  return i;
}

// How many parameters come before the first keyword-only one: the most positional arguments.
constexpr std::size_t count_positional(const char* const* written, std::size_t n) {
  std::size_t i = 0;
  while (i < n && !parse(written[i]).keyword_only) {
    ++i;
  }
  return i;
}

// Whether the parameters are written by the rules above: each named, a default
// on exactly the optional ones, no required one after an optional one and no
// positional one after a keyword-only one.
constexpr bool well_formed(const char* const* written, std::size_t n) {
  bool optional = false;
  bool keyword_only = false;
  for (std::size_t i = 0; i < n; ++i) {
    const Parameter p = parse(written[i]);
    if (p.name.empty() || (optional && !p.optional) || (keyword_only && !p.keyword_only) ||
        p.optional == p.shown_default.empty()) {
      return false;
    }
    optional = p.optional;
    keyword_only = p.keyword_only;
  }
  return true;
}

// The docstring prefix from which the interpreter reads a builtin's text
// signature: "fname($self, order, account=None)\n--\n\n", with `bound` ("$self",
// "$cls") first when the callable is bound to its first argument and `varkw`
// naming a **mapping of further keywords. The __doc__ of such a callable is
// what follows the prefix (None when nothing does). Throws std::invalid_argument
// when the parameters are not written as above.
inline std::string signature_text(const char* fname, const char* bound, const char* const* written, std::size_t n,
                                  const char* varkw) {
  if (!well_formed(written, n)) {
    throw std::invalid_argument(std::string(fname) + ": parameters that break the rules of a Signature's names");
  }
  std::string text = std::string(fname) + "(";
  const char* separator = "";
  if (bound != nullptr) {
    text += bound;
    separator = ", ";
  }
  bool keyword_only = false;
  for (std::size_t i = 0; i < n; ++i) {
    const Parameter p = parse(written[i]);
    if (p.keyword_only && !keyword_only) {
      text += separator;
      text += "*";
      separator = ", ";
    }
    keyword_only = p.keyword_only;
    text += separator;
    text += p.name;
    if (p.optional) {
      text += "=";
      text += p.shown_default;
    }
    separator = ", ";
  }
  if (varkw != nullptr) {
    text += separator;
    text += "**";
    text += varkw;
  }
  return text + ")\n--\n\n";
}

}  // namespace kmb::parameters

namespace kmb {

// The parameters of a callable `fname(p0, ..., pN-1, **varkw)`, as written
// above; `varkw` names a mapping of further keywords, or is null when the
// callable takes none. Declared constexpr, next to the body it binds for:
// the binding checks the names when it is compiled (see binder.hpp) and the
// class builder shows them as the callable's text signature.
//
//   constexpr Signature<2> can_submit_order_params{"can_submit_order", {"order", "|account=None"}};
template <std::size_t N>
struct Signature {
  static constexpr std::size_t size = N;

  constexpr Signature(const char* fname, const std::array<const char*, N>& names, const char* varkw = nullptr)
      : fname(fname),
        names(names),
        varkw(varkw),
        required(parameters::count_required(names.data(), N)),
        positional(parameters::count_positional(names.data(), N)) {}

  const char* fname;
  std::array<const char*, N> names;  // as written, with "|", "$" and "=default"
  const char* varkw;
  std::size_t required;    // the fewest positional arguments
  std::size_t positional;  // the most positional arguments
};

}  // namespace kmb
