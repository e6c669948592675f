// Per-bond cash-flow tables in plain C++: the records built from the rows the
// market-data client delivers, and the exact-date lookup over a record buffer.
//
// A table is a run of packed fixed-layout records (an int32 date YYYYMMDD and
// float64 amounts, at byte offsets given by the layout), sorted by date. The
// records need not be aligned: every field is read and written with memcpy.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <vector>

namespace kmb::cash_flow {

// One record of a table, before it is written into its packed layout; its
// fields by what they hold (a kind's descriptor names them, cash_flow_kind.hpp).
struct Record {
  std::int32_t date;
  double cash_flow;      // paid on that date
  double cum_principal;  // principal repaid up to and including this record
  double receivable;     // becoming receivable on that date (0 in a kind without it)
};

// A missing number delivered by the client counts as nothing paid.
inline double zero_if_nan(double v) { return std::isnan(v) ? 0.0 : v; }

// The records of one bond from its delivered rows (`receivable` may be null
// for a kind without it): the running principal sum is taken in delivery
// order, then the records are sorted by date, each keeping its own running
// sum; records of equal dates keep their delivery order.
inline std::vector<Record> build_records(std::size_t n, const std::int32_t* dates, const double* cash_flow,
                                         const double* principal, const double* receivable) {
  std::vector<Record> records(n);
  double running = 0.0;
  for (std::size_t i = 0; i < n; ++i) {
    running += zero_if_nan(principal[i]);
    records[i] =
        Record{dates[i], zero_if_nan(cash_flow[i]), running, receivable == nullptr ? 0.0 : zero_if_nan(receivable[i])};
  }
  std::stable_sort(records.begin(), records.end(), [](const Record& a, const Record& b) { return a.date < b.date; });
  return records;
}

// Where each field of a record lies, in bytes from the record's start;
// `receivable` is absent (negative) in a kind without it.
struct Layout {
  std::ptrdiff_t date = -1;
  std::ptrdiff_t cash_flow = -1;
  std::ptrdiff_t cum_principal = -1;
  std::ptrdiff_t receivable = -1;
};

// Whether every field of `layout` lies within a record of `size` bytes.
inline bool fits(const Layout& layout, std::size_t size) {
  const auto within = [size](std::ptrdiff_t offset, std::size_t width) {
    return offset >= 0 && static_cast<std::size_t>(offset) <= size && width <= size - static_cast<std::size_t>(offset);
  };
  return within(layout.date, sizeof(std::int32_t)) && within(layout.cash_flow, sizeof(double)) &&
         within(layout.cum_principal, sizeof(double)) &&
         (layout.receivable < 0 || within(layout.receivable, sizeof(double)));
}

// A view of `count` records starting at `data`, `stride` bytes apart.
struct Buffer {
  char* data;
  std::ptrdiff_t stride;
  std::size_t count;

  char* at(std::size_t i) const { return data + static_cast<std::ptrdiff_t>(i) * stride; }
};

template <typename T>
T read_field(const char* record, std::ptrdiff_t offset) {
  T value;
  std::memcpy(&value, record + offset, sizeof value);
  return value;
}

template <typename T>
void write_field(char* record, std::ptrdiff_t offset, T value) {
  std::memcpy(record + offset, &value, sizeof value);
}

// Writes `records` into `out`, which holds exactly as many records.
inline void write_records(const std::vector<Record>& records, const Layout& layout, const Buffer& out) {
  for (std::size_t i = 0; i < records.size(); ++i) {
    char* r = out.at(i);
    write_field(r, layout.date, records[i].date);
    write_field(r, layout.cash_flow, records[i].cash_flow);
    write_field(r, layout.cum_principal, records[i].cum_principal);
    if (layout.receivable >= 0) {
      write_field(r, layout.receivable, records[i].receivable);
    }
  }
}

// The left insertion point of `key` among the dates at `date_offset`: the
// first record whose date is not below `key` (`count` when there is none).
inline std::size_t lower_bound(const Buffer& table, std::ptrdiff_t date_offset, std::int32_t key) {
  std::size_t lo = 0;
  std::size_t hi = table.count;
  while (lo < hi) {
    const std::size_t mid = lo + (hi - lo) / 2;
    if (read_field<std::int32_t>(table.at(mid), date_offset) < key) {
      lo = mid + 1;
    } else {
      hi = mid;
    }
  }
  return lo;
}

// The index of the first record dated exactly `key`, if there is one.
inline std::optional<std::size_t> find_date(const Buffer& table, std::ptrdiff_t date_offset, std::int32_t key) {
  const std::size_t pos = lower_bound(table, date_offset, key);
  if (pos >= table.count || read_field<std::int32_t>(table.at(pos), date_offset) != key) {
    return std::nullopt;
  }
  return pos;
}

}  // namespace kmb::cash_flow
