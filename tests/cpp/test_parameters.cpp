// A Signature's parameters as written ("|" optional, "$" keyword-only,
// "=default" shown) and the text signature the interpreter reads from them.
#include <gtest/gtest.h>

#include <cstddef>
#include <stdexcept>

#include "parameters.hpp"

namespace {

using kmb::parameters::count_positional;
using kmb::parameters::count_required;
using kmb::parameters::parse;
using kmb::parameters::signature_text;
using kmb::parameters::well_formed;

TEST(Parameters, ReadAsWritten) {
  constexpr auto required = parse("order");
  static_assert(required.name == "order" && !required.optional && !required.keyword_only);
  constexpr auto optional = parse("|account=None");
  static_assert(optional.name == "account" && optional.shown_default == "None" && optional.optional);
  constexpr auto keyword = parse("$flag=False");
  static_assert(keyword.name == "flag" && keyword.keyword_only && keyword.optional);
  EXPECT_EQ(parse("|x=(1, 2)").shown_default, "(1, 2)");
}

TEST(Parameters, RequiredAndPositionalCounts) {
  const char* names[] = {"a", "b", "|c=0", "$d=None"};
  EXPECT_EQ(count_required(names, 4), 2u);
  EXPECT_EQ(count_positional(names, 4), 3u);
  EXPECT_EQ(count_required(names, 0), 0u);
}

TEST(Parameters, SignatureCountsItsArguments) {
  constexpr kmb::Signature<4> sig{"f", {"a", "b", "|c=0", "$d=None"}, "kwargs"};
  static_assert(sig.required == 2 && sig.positional == 3 && decltype(sig)::size == 4);
  constexpr kmb::Signature<0> none{"get_state", {}};
  static_assert(none.required == 0 && none.positional == 0);
}

TEST(Parameters, TextSignature) {
  const char* names[] = {"order", "|account=None"};
  EXPECT_EQ(signature_text("can_submit_order", "$self", names, 2, nullptr),
            "can_submit_order($self, order, account=None)\n--\n\n");
  const char* factory[] = {"order_id", "price"};
  EXPECT_EQ(signature_text("__from_create__", "$cls", factory, 2, "kwargs"),
            "__from_create__($cls, order_id, price, **kwargs)\n--\n\n");
  const char* keywords[] = {"a", "$b=1", "$c=2"};
  EXPECT_EQ(signature_text("f", nullptr, keywords, 3, nullptr), "f(a, *, b=1, c=2)\n--\n\n");
  EXPECT_EQ(signature_text("get_state", "$self", nullptr, 0, nullptr), "get_state($self)\n--\n\n");
  EXPECT_EQ(signature_text("f", nullptr, nullptr, 0, nullptr), "f()\n--\n\n");
}

TEST(Parameters, MalformedNamesRefused) {
  struct Case {
    const char* names[2];
    std::size_t n;
  };
  const Case cases[] = {
      {{"|a=0", "b"}, 2},     // a required one after an optional one
      {{"|a", ""}, 1},        // optional, no default to show
      {{"a=0", ""}, 1},       // a default on a required one
      {{"$a=0", "|b=1"}, 2},  // a positional one after a keyword-only one
      {{"|=0", ""}, 1},       // no name
  };
  for (const Case& c : cases) {
    EXPECT_FALSE(well_formed(c.names, c.n)) << c.names[0];
    EXPECT_THROW(signature_text("f", nullptr, c.names, c.n, nullptr), std::invalid_argument) << c.names[0];
  }
  static constexpr const char* good[] = {"a", "|b=1", "$c=2"};
  static_assert(well_formed(good, 3) && well_formed(good, 0));
}

}  // namespace
