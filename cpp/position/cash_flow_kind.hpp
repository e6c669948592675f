// The two kinds of cash-flow table, each described once: the fields of its
// records (name and NumPy type code, in layout order) and the index level or
// column of the data client's frame each is read from, the module constant
// that holds the layout, the memoised module function that builds a table,
// and the client's call that delivers the frame. Plain C++: the module's
// definitions, the build and the day lookup all read a kind from here.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace kmb::cash_flow {

// NumPy's type codes of the fields: a date YYYYMMDD and an amount.
inline constexpr const char* kDateType = "i4";
inline constexpr const char* kAmountType = "f8";

// A type code's kind ('i', 'f') and width in bytes ("i4": 4).
constexpr char type_kind(const char* code) { return code[0]; }
constexpr std::size_t type_size(const char* code) { return static_cast<std::size_t>(code[1] - '0'); }

static_assert(type_kind(kDateType) == 'i' && type_size(kDateType) == sizeof(std::int32_t));
static_assert(type_kind(kAmountType) == 'f' && type_size(kAmountType) == sizeof(double));

// A field of the records: its name in the layout, its type code, and the
// frame's index level (the date) or column its values come from.
struct Field {
  const char* name = nullptr;  // null: the kind has no such field
  const char* type = nullptr;
  const char* source = nullptr;
};

// The data client's call that delivers a bond's frame: bond.<name>(order_book_id),
// or bond.<name>(order_book_id, first_date, last_date) for a dated query.
struct Query {
  const char* name;
  bool dated;
  std::int32_t first_date;
  std::int32_t last_date;
};

struct TableKind {
  const char* function;  // the memoised module function: function(order_book_ids)
  const char* layout;    // the module constant holding the record layout
  Query query;
  // The fields in layout order, each as it fills a Record (cash_flow_table.hpp).
  Field date;           // the record's date, from an index level of dates
  Field cash_flow;      // paid on that date, per unit
  Field cum_principal;  // the running sum of its source column, in delivery order
  Field receivable;     // becoming receivable on that date, per unit; not in every kind
};

constexpr bool has_receivable(const TableKind& kind) { return kind.receivable.name != nullptr; }

// The kind's fields in layout order (a field without a name: none in this kind).
constexpr std::array<const Field*, 4> fields(const TableKind& kind) {
  return {&kind.date, &kind.cash_flow, &kind.cum_principal, &kind.receivable};
}

// Principal repaid per unit up to and including a record: a bond whose sum
// reaches its issue price is redeemed in full.
inline constexpr Field kCumPrincipal{"cum_principal_payment", kAmountType, "principal_payment"};

// The realized table, keyed by payment date: what was paid.
inline constexpr TableKind realized{
    "_all_real_cash_flow",
    "CASH_FLOW_DTYPES",
    {"realized_cash_flow", false, 0, 0},
    {"payment_date", kDateType, "payment_date"},
    {"cash_flow", kAmountType, "cash_flow"},
    kCumPrincipal,
    {},
};

// The implied table, keyed by date: besides the payment, the interest that
// becomes receivable as it accrues. Queried from 2 January 2005 to 31 December 2999.
inline constexpr TableKind implied{
    "_all_implied_cash_flow",
    "IMPLIED_CASH_FLOW_DTYPES",
    {"get_implied_cash_flow", true, 20050102, 29991231},
    {"date", kDateType, "date"},
    {"cash_flow", kAmountType, "total_payment"},
    kCumPrincipal,
    {"payment_receivable", kAmountType, "payment_receivable"},
};

}  // namespace kmb::cash_flow
