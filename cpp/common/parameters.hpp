// A callable's parameters as written in its Signature (binder.hpp), read in
// plain C++: what kind each one is, and the text signature the interpreter
// shows for them (inspect.signature, help()).
//
// A parameter is written as NumPy's own argument parser writes it:
//
//   "order"            required, by position or keyword
//   "|account=None"    optional from here on; "=None" is the default shown,
//                      the value the body takes when the argument is not given
//   "$flag=False"      keyword-only (and optional) from here on
#pragma once

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

// The docstring prefix from which the interpreter reads a builtin's text
// signature: "fname($self, order, account=None)\n--\n\n", with `bound` ("$self",
// "$cls") first when the callable is bound to its first argument and `varkw`
// naming a **mapping of further keywords. The __doc__ of such a callable is
// what follows the prefix (None when nothing does). Throws std::invalid_argument
// when the parameters are not written as above.
inline std::string signature_text(const char* fname, const char* bound, const char* const* written, std::size_t n,
                                  const char* varkw) {
  std::string text = std::string(fname) + "(";
  const char* separator = "";
  if (bound != nullptr) {
    text += bound;
    separator = ", ";
  }
  bool optional = false;
  bool keyword_only = false;
  for (std::size_t i = 0; i < n; ++i) {
    const Parameter p = parse(written[i]);
    if (p.name.empty() || (optional && !p.optional) || (keyword_only && !p.keyword_only) ||
        p.optional == p.shown_default.empty()) {
      throw std::invalid_argument(std::string(fname) + ": parameter \"" + written[i] +
                                  "\" breaks the rules of a Signature's names");
    }
    if (p.keyword_only && !keyword_only) {
      text += separator;
      text += "*";
      separator = ", ";
    }
    optional = p.optional;
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
