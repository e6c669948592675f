// The native layouts of the dtypes of the tables built or read lately, so
// that a day's lookup finds a table's fields without going through its
// dtype's field dictionary (a dozen scattered objects per table, on every
// lookup).
#pragma once

#include <cstdint>
#include <iterator>
#include <utility>
#include <vector>

#include "position.hpp"

namespace kmb::position {

// An open-addressing table keyed by (dtype, table kind). An entry holds its
// dtype and the field dictionary the layout was read from, so neither
// address can be taken by another object while the entry lives, and it
// serves only while the dtype still has that very dictionary (renaming a
// dtype's fields gives it a new one). When the cache fills up, the entries
// whose dtype nobody but the cache holds any more are dropped; past
// kMaxSlots / 2 live dtypes it starts afresh.
class LayoutCache {
 public:
  // The layout remembered for (descr, kind), if it was read from `fields`.
  const cash_flow::Layout* find(PyObject* descr, PyObject* fields, const cash_flow::TableKind* kind) const {
    const Entry* e = slot_of(descr, kind);
    return e != nullptr && e->fields.ptr() == fields ? &e->layout : nullptr;
  }

  void remember(PyObject* descr, PyObject* fields, const cash_flow::TableKind* kind, const cash_flow::Layout& layout) {
    auto held_fields = py::reinterpret_borrow<py::object>(fields);
    if (Entry* e = slot_of(descr, kind)) {
      std::swap(e->fields, held_fields);  // the old dictionary let go on return, the entry whole
      e->layout = layout;
      return;
    }
    if ((size_ + 1) * 2 > slots_.size()) {
      make_room();
    }
    place(Entry{py::reinterpret_borrow<py::object>(descr), std::move(held_fields), kind, layout});
    ++size_;
  }

 private:
  // Entries are moved only into free slots, so a move never drops a reference
  // (pybind11's reference drop is the one that may throw, without the GIL).
  struct Entry {       // NOLINT(bugprone-exception-escape)
    py::object descr;  // empty: a free slot
    py::object fields;
    const cash_flow::TableKind* kind = nullptr;
    cash_flow::Layout layout;
  };
  static constexpr std::size_t kMinSlots = 256;
  static constexpr std::size_t kMaxSlots = 8192;  // a power of two

  std::size_t start(PyObject* descr, const cash_flow::TableKind* kind) const {
    auto h = reinterpret_cast<std::uintptr_t>(descr) ^ (reinterpret_cast<std::uintptr_t>(kind) << 1);
    h ^= h >> 17;
    h *= 0x9E3779B97F4A7C15ULL;
    return static_cast<std::size_t>(h >> 20) & (slots_.size() - 1);
  }

  const Entry* slot_of(PyObject* descr, const cash_flow::TableKind* kind) const {
    if (slots_.empty()) {
      return nullptr;
    }
    for (std::size_t i = start(descr, kind);; i = (i + 1) & (slots_.size() - 1)) {
      const Entry& e = slots_[i];
      if (!e.descr) {
        return nullptr;
      }
      if (e.descr.ptr() == descr && e.kind == kind) {
        return &e;
      }
    }
  }
  Entry* slot_of(PyObject* descr, const cash_flow::TableKind* kind) {
    return const_cast<Entry*>(std::as_const(*this).slot_of(descr, kind));
  }

  void place(Entry entry) {
    for (std::size_t i = start(entry.descr.ptr(), entry.kind);; i = (i + 1) & (slots_.size() - 1)) {
      if (!slots_[i].descr) {
        slots_[i] = std::move(entry);
        return;
      }
    }
  }

  // Drops the entries of dtypes that died everywhere but here; then grows the
  // table, or empties it when it may grow no more. The dropped entries are let
  // go last, with the cache consistent again.
  void make_room() {
    std::vector<Entry> live;
    std::vector<Entry> dropped;
    live.reserve(size_);
    for (Entry& e : slots_) {
      if (e.descr) {
        (Py_REFCNT(e.descr.ptr()) > 1 ? live : dropped).push_back(std::move(e));
      }
    }
    std::size_t slots = slots_.empty() ? kMinSlots : slots_.size();
    while ((live.size() + 1) * 2 > slots && slots < kMaxSlots) {
      slots *= 2;
    }
    if ((live.size() + 1) * 2 > slots) {
      std::move(live.begin(), live.end(), std::back_inserter(dropped));
      live.clear();
    }
    slots_.assign(slots, Entry{});
    size_ = live.size();
    for (Entry& e : live) {
      place(std::move(e));
    }
  }

  std::vector<Entry> slots_;
  std::size_t size_ = 0;
};

}  // namespace kmb::position
