// The cash-flow table core: records from delivered rows, packed layouts of the
// two kinds, exact-date lookup.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <ostream>
#include <string>
#include <vector>

#include "cash_flow_kind.hpp"
#include "cash_flow_table.hpp"

namespace cf = kmb::cash_flow;

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// A kind's records packed as NumPy packs its layout: its fields in order, each
// as wide as its type code says, no padding.
constexpr cf::Layout packed(const cf::TableKind& kind) {
  // The Layout's offsets in the order of the kind's fields.
  constexpr std::ptrdiff_t cf::Layout::*offsets[] = {&cf::Layout::date, &cf::Layout::cash_flow,
                                                     &cf::Layout::cum_principal, &cf::Layout::receivable};
  cf::Layout layout;
  std::ptrdiff_t at = 0;
  const auto fields = cf::fields(kind);
  for (std::size_t i = 0; i < fields.size(); ++i) {
    if (fields[i]->name != nullptr) {
      layout.*offsets[i] = at;
      at += static_cast<std::ptrdiff_t>(cf::type_size(fields[i]->type));
    }
  }
  return layout;
}

// The two tables: an int32 date then float64 amounts, the receivable last and
// in the implied table only.
constexpr cf::Layout kRealized = packed(cf::realized);
constexpr cf::Layout kImplied = packed(cf::implied);
static_assert(kRealized.date == 0 && kRealized.cash_flow == 4 && kRealized.cum_principal == 12 &&
              kRealized.receivable == -1);
static_assert(kImplied.date == 0 && kImplied.cash_flow == 4 && kImplied.cum_principal == 12 &&
              kImplied.receivable == 20);
constexpr std::ptrdiff_t kRealizedSize = 20;
constexpr std::ptrdiff_t kImpliedSize = 28;

struct Packed {
  std::vector<char> bytes;
  cf::Buffer buffer;
};

Packed pack(const std::vector<cf::Record>& records, const cf::Layout& layout, std::ptrdiff_t size) {
  Packed p{std::vector<char>(records.size() * static_cast<std::size_t>(size)), {}};
  p.buffer = cf::Buffer{p.bytes.data(), size, records.size()};
  cf::write_records(records, layout, p.buffer);
  return p;
}

std::vector<cf::Record> build(const std::vector<std::int32_t>& dates, const std::vector<double>& paid,
                              const std::vector<double>& principal, const std::vector<double>* receivable = nullptr) {
  return cf::build_records(dates.size(), dates.data(), paid.data(), principal.data(),
                           receivable == nullptr ? nullptr : receivable->data());
}

}  // namespace

TEST(BuildRecords, RunningPrincipalFollowsDeliveryOrderThenSortsByDate) {
  auto records = build({20260301, 20250301, 20240301}, {30, 20, 50}, {30, 20, 50});
  ASSERT_EQ(records.size(), 3u);
  EXPECT_EQ(records[0].date, 20240301);
  EXPECT_EQ(records[0].cum_principal, 100.0);  // delivered last: the whole sum
  EXPECT_EQ(records[0].cash_flow, 50.0);
  EXPECT_EQ(records[1].cum_principal, 50.0);
  EXPECT_EQ(records[2].cum_principal, 30.0);
}

TEST(BuildRecords, MissingNumbersCountAsZero) {
  std::vector<double> receivable{kNaN, 1.5};
  auto records = build({20240301, 20250301}, {kNaN, 2.0}, {10.0, kNaN}, &receivable);
  EXPECT_EQ(records[0].cash_flow, 0.0);
  EXPECT_EQ(records[0].receivable, 0.0);
  EXPECT_EQ(records[1].cum_principal, 10.0);
  EXPECT_EQ(records[1].receivable, 1.5);
  for (const auto& r : records) {
    EXPECT_FALSE(std::isnan(r.cash_flow) || std::isnan(r.cum_principal) || std::isnan(r.receivable));
  }
}

TEST(BuildRecords, EqualDatesKeepDeliveryOrder) {
  // Enough records for an unstable sort to reorder equal dates.
  std::vector<std::int32_t> dates;
  std::vector<double> paid;
  for (int i = 0; i < 200; ++i) {
    dates.push_back(i % 3 == 0 ? 20240301 : 20250301 - i % 2);
    paid.push_back(i);
  }
  auto records = build(dates, paid, std::vector<double>(dates.size(), 0.0));
  for (std::size_t i = 1; i < records.size(); ++i) {
    ASSERT_LE(records[i - 1].date, records[i].date);
    if (records[i - 1].date == records[i].date) {
      EXPECT_LT(records[i - 1].cash_flow, records[i].cash_flow) << "at " << i;
    }
  }
}

TEST(BuildRecords, RunningSumIsPlainSequentialAddition) {
  auto records = build({1, 2, 3}, {0, 0, 0}, {0.1, 0.2, 0.3});
  EXPECT_EQ(records[2].cum_principal, (0.1 + 0.2) + 0.3);
}

TEST(PackedLayout, FieldsLandAtTheirOffsetsUnaligned) {
  std::vector<double> receivable{0.25, 0.5};
  auto p = pack(build({20240301, 20250301}, {3.0, 103.0}, {0.0, 100.0}, &receivable), kImplied, kImpliedSize);
  const char* second = p.buffer.at(1);
  EXPECT_EQ(second - p.bytes.data(), kImpliedSize);
  EXPECT_EQ(cf::read_field<std::int32_t>(second, 0), 20250301);
  EXPECT_EQ(cf::read_field<double>(second, 4), 103.0);
  EXPECT_EQ(cf::read_field<double>(second, 12), 100.0);
  EXPECT_EQ(cf::read_field<double>(second, 20), 0.5);
}

TEST(PackedLayout, RealizedLayoutHasNoReceivable) {
  std::vector<char> bytes(kRealizedSize + 8, '\x7f');  // a guard after the single record
  cf::Buffer buffer{bytes.data(), kRealizedSize, 1};
  cf::write_records(build({20240301}, {3.0}, {0.0}), kRealized, buffer);
  for (std::size_t i = kRealizedSize; i < bytes.size(); ++i) {
    EXPECT_EQ(bytes[i], '\x7f');
  }
}

struct LookupCase {
  std::int32_t key;
  std::size_t lower;
  std::optional<std::size_t> exact;
};

void PrintTo(const LookupCase& c, std::ostream* os) {
  *os << "key " << c.key << ", lower bound " << c.lower << ", ";
  if (c.exact) {
    *os << "found at " << *c.exact;
  } else {
    *os << "not found";
  }
}

class Lookup : public testing::TestWithParam<LookupCase> {};

TEST_P(Lookup, FindsOnlyExactDates) {
  auto p = pack(build({20240301, 20240923, 20240923, 20250301}, {1, 2, 3, 4}, {0, 0, 0, 0}), kRealized, kRealizedSize);
  const LookupCase& c = GetParam();
  EXPECT_EQ(cf::lower_bound(p.buffer, kRealized.date, c.key), c.lower);
  EXPECT_EQ(cf::find_date(p.buffer, kRealized.date, c.key), c.exact);
}

INSTANTIATE_TEST_SUITE_P(Dates, Lookup,
                         testing::Values(LookupCase{20240101, 0, std::nullopt},  // before the first record
                                         LookupCase{20240301, 0, 0},             // the first
                                         LookupCase{20240601, 1, std::nullopt},  // between two records
                                         LookupCase{20240923, 1, 1},             // the first of two equal dates
                                         LookupCase{20250301, 3, 3},             // the last
                                         LookupCase{20250302, 4, std::nullopt},  // after the last
                                         LookupCase{INT32_MIN, 0, std::nullopt},
                                         LookupCase{INT32_MAX, 4, std::nullopt}));

TEST(Lookup, EmptyTableHasNoRecord) {
  cf::Buffer empty{nullptr, kRealizedSize, 0};
  EXPECT_EQ(cf::lower_bound(empty, 0, 20240301), 0u);
  EXPECT_EQ(cf::find_date(empty, 0, 20240301), std::nullopt);
}

TEST(Lookup, WalksAnyStride) {
  // Every other record of a wider run: 1, 3, 5 out of 1 to 6.
  auto p = pack(build({1, 2, 3, 4, 5, 6}, {0, 0, 0, 0, 0, 0}, {0, 0, 0, 0, 0, 0}), kRealized, kRealizedSize);
  cf::Buffer every_other{p.bytes.data(), 2 * kRealizedSize, 3};
  EXPECT_EQ(cf::find_date(every_other, 0, 3), 1u);
  EXPECT_EQ(cf::find_date(every_other, 0, 5), 2u);
  EXPECT_EQ(cf::find_date(every_other, 0, 2), std::nullopt);
  EXPECT_EQ(cf::lower_bound(every_other, 0, 4), 2u);
}

struct FitCase {
  const char* name;
  cf::Layout layout;
  std::size_t size;
  bool fits;
};

void PrintTo(const FitCase& c, std::ostream* os) { *os << c.name; }

class Fit : public testing::TestWithParam<FitCase> {};

TEST_P(Fit, EveryFieldLiesInsideTheRecord) { EXPECT_EQ(cf::fits(GetParam().layout, GetParam().size), GetParam().fits); }

INSTANTIATE_TEST_SUITE_P(Layouts, Fit,
                         testing::Values(FitCase{"realized_packed", kRealized, kRealizedSize, true},
                                         FitCase{"implied_packed", kImplied, kImpliedSize, true},
                                         FitCase{"implied_one_byte_short", kImplied, kImpliedSize - 1, false},
                                         FitCase{"realized_in_a_wider_record", kRealized, 64, true},
                                         FitCase{"date_past_the_end", cf::Layout{20, 0, 8, -1}, 20, false},
                                         FitCase{"negative_offset", cf::Layout{0, -4, 12, -1}, 20, false},
                                         FitCase{"empty_record", kRealized, 0, false},
                                         FitCase{"offset_near_the_top", cf::Layout{0, 4, PTRDIFF_MAX, -1}, 20, false}),
                         [](const testing::TestParamInfo<FitCase>& info) { return std::string(info.param.name); });
