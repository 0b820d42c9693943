// F's nonzero structure (internal to the core): the record of its rows'
// nonzero column groups [4g, 4g + 4) that the read checking F finite makes
// for a mostly-zero F (an industry model's row: the market, its industry
// and the styles), which holds F alone where F came as compressed rows, and
// FactorRows, the one view of F's rows every solve-path reader goes
// through. Read through a record or not, a reader meets the same columns
// and entries in the same order.
#pragma once

#include <algorithm>
#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <span>
#include <utility>
#include <vector>

#include "detail/equilibration_kernels.hpp"
#include "detail/simd.hpp"
#include "detail/vector_ops.hpp"
#include "morva/matrix.hpp"

namespace morva {

// Factor count from which the rows of F·s are summed in four partial sums
// (detail::dot4) and F's nonzero groups are recorded. Below it the
// left-to-right sum is as fast, and small hand-checked forms keep it.
inline constexpr std::size_t kPartialSumMinFactors = 8;

// The rows of a mostly-zero F by their nonzero column groups, found in the
// read that checks F finite, so that P·x reads those groups alone. Built
// from compressed rows, the record may hold F alone: its groups not
// recorded are then +0 throughout, and the columns past the last whole
// group are kept in `tail`.
struct FactorGroups {
  // F itself, its values shared: a write through any copy of F copies them
  // first, so the record describes the values at this address while it lives.
  // Empty where the record holds F alone.
  Matrix factors;
  std::size_t rows = 0;  // F's shape
  std::size_t cols = 0;
  bool alone = false;                 // the record holds F, `factors` does not
  std::vector<std::uint32_t> groups;  // each row's nonzero groups, rows in order
  std::vector<std::size_t> end;       // per row: one past its last entry in groups
  // The four entries of each recorded group, in the order of `groups`: a
  // fifth of F's bytes for an industry model, read from cache, not memory.
  std::vector<double> values;
  // Where alone: row i's columns [4·(k / 4), k) at [i·(k % 4), (i + 1)·(k % 4)).
  std::vector<double> tail;

  FactorGroups() = default;
  FactorGroups(const FactorGroups&) = delete;
  FactorGroups& operator=(const FactorGroups&) = delete;
  // The entries' block is left for the next record of its size.
  ~FactorGroups();

  // Row i's nonzero groups, in increasing order.
  std::span<const std::uint32_t> row(std::size_t i) const {
    return {groups.data() + first(i), end[i] - first(i)};
  }
  // The entries of row i's groups, four per group in the order of row(i).
  const double* row_values(std::size_t i) const { return values.data() + 4 * first(i); }
  std::size_t first(std::size_t i) const { return i == 0 ? 0 : end[i - 1]; }
  // Whether this records `f` (the same values at the same address).
  bool describes(const Matrix& f) const { return !alone && factors.shares_values_with(f); }
  // F written out from a record that holds it alone, on the first call
  // (once for every holder of the record).
  const Matrix& written_out() const;
  // Whether written_out() has been called (a solve never calls it).
  bool written() const { return written_.load(std::memory_order_acquire); }
  // The same record, holding F alone; null unless this holds it alone.
  std::unique_ptr<FactorGroups, FactorGroupsRelease> copy() const;

 private:
  mutable std::once_flag written_once_;
  mutable Matrix dense_;
  mutable std::atomic<bool> written_ = false;
};

// F's rows, read through `record` where it describes F or holds it alone,
// else F itself.
class FactorRows {
 public:
  // Implicit from F alone: its dense rows.
  FactorRows(const Matrix& factors,
             const FactorGroups* record = nullptr)  // NOLINT(google-explicit-constructor)
      : dense_(factors.data().data()),
        rows_(factors.rows()),
        cols_(factors.cols()),
        record_(record != nullptr && record->describes(factors) ? record : nullptr) {}
  explicit FactorRows(const FactorQuad& form);

  std::size_t rows() const { return rows_; }
  std::size_t cols() const { return cols_; }
  // Whether F's rows are read through a record of their nonzero groups.
  bool recorded() const { return record_ != nullptr; }
  // Whether the record alone holds F (no dense row to read).
  bool sparse() const { return record_ != nullptr && record_->alone; }

  // Row i's entries in columns [4·(k / 4), k), past its last whole group.
  const double* tail(std::size_t i) const {
    const std::size_t whole = cols_ / 4 * 4;
    return sparse() ? record_->tail.data() + i * (cols_ - whole) : dense_ + i * cols_ + whole;
  }
  // F_ic (a zero not recorded as +0, where the record holds F alone).
  double at(std::size_t i, std::size_t c) const {
    return sparse() ? recorded_at(i, c) : dense_[i * cols_ + c];
  }
  // Asks for the line of F_ic ahead of its read (where F is dense).
  void prefetch(std::size_t i, std::size_t c) const {
    if (!sparse()) __builtin_prefetch(dense_ + i * cols_ + c);
  }
  // Row i into `out` (k entries), as F holds it.
  void copy_row(std::size_t i, std::span<double> out) const;
  // Every stored value of F (its entries where held densely, else the
  // record's): each nonzero at least once, and zeros.
  std::array<std::span<const double>, 2> stored_values() const;

  // visit(c, F_ic) for each nonzero F_ic (a NaN is, a zero of either sign
  // is not), in increasing c.
  template <class Visit>
  void for_each_nonzero(std::size_t i, Visit visit) const {
    for_each_group(
        i,
        [&](std::size_t first, const double* v) MORVA_ALWAYS_INLINE {
          for (std::size_t j = 0; j < 4; ++j) {
            if (v[j] != 0.0) visit(first + j, v[j]);
          }
        },
        [&](std::size_t c, double v) MORVA_ALWAYS_INLINE {
          if (v != 0.0) visit(c, v);
        });
  }

  // group(first, entries) for each whole group [first, first + 4) of row i
  // that holds a nonzero, in increasing order, then tail(c, F_ic) for each
  // column past the last whole group.
  template <class Group, class Tail>
  void for_each_group(std::size_t i, Group group, Tail tail) const {
    const std::size_t k = cols();
    if (record_ == nullptr) {
      const double* row = dense_ + i * k;
      for (std::size_t first = 0; first + 4 <= k; first += 4) {
        if (detail::any_nonzero4(row + first)) group(first, row + first);
      }
    } else {
      const std::span<const std::uint32_t> groups = record_->row(i);
      const double* values = record_->row_values(i);
      for (std::size_t e = 0; e < groups.size(); ++e) group(4 * std::size_t{groups[e]}, values + 4 * e);
    }
    const double* end = this->tail(i);
    for (std::size_t c = k / 4 * 4; c < k; ++c) tail(c, end[c - k / 4 * 4]);
  }

  // Row i's nonzero pattern: bit c of words[c / 64] set where F_ic is
  // nonzero; `words` has (k + 63) / 64 entries. Four bits a group, without
  // a branch per entry; a dense row in the pattern kernel's vector lanes.
  void pattern(std::size_t i, std::span<std::uint64_t> words) const {
    if (record_ == nullptr) return detail::nonzero_pattern(dense_ + i * cols_, cols(), words.data());
    std::ranges::fill(words, std::uint64_t{0});
    for_each_group(
        i,
        [&](std::size_t first, const double* v) {
          words[first / 64] |= detail::nonzero_mask4(v) << (first % 64);
        },
        [&](std::size_t c, double v) { words[c / 64] |= std::uint64_t{v != 0.0} << (c % 64); });
  }
  // t = Fᵀ·x over F's first len x rows (t: k entries), each entry summing
  // the rows in order, as detail::add_scaled_rows does.
  void transpose_into(std::span<const double> x, std::span<double> t) const;
  // out_i = d_i·x_i + F_i·s for every i < len out, F_i·s in detail::dot4's
  // four partial sums (k ≥ kPartialSumMinFactors).
  void add_dot4_rows(std::span<const double> d, std::span<const double> x, std::span<const double> s,
                     std::span<double> out) const;

  class Columns;
  class DownColumns;

 private:
  double recorded_at(std::size_t i, std::size_t c) const;

  const double* dense_;  // F's rows (unread where the record alone holds F)
  std::size_t rows_;
  std::size_t cols_;
  const FactorGroups* record_;  // describes F or holds it alone, or none
};

// Chosen columns of F, each with a place of the caller's (a target):
// row(i, write) calls write(target, F_ic) for each, a target perhaps more
// than once (the last write its value). With `zeros_kept` the caller's targets
// hold zeros already and it tells zeros of either sign apart nowhere, so an
// entry known to be a zero may be left unwritten.
class FactorRows::Columns {
 public:
  using Wanted = std::pair<std::size_t, std::size_t>;  // (column, target)

  Columns(const FactorRows& rows, std::span<const Wanted> wanted, bool zeros_kept = false);

  template <class Write>
  void row(std::size_t i, Write write) const {
    if (rows_.record_ != nullptr) {
      // The recorded groups write the columns they hold, and those past the
      // last whole group are read from the row's tail. A column of a group
      // the row does not record is a zero of either sign: unless zeros are
      // kept, a row with one is read from F whole, or, where the record
      // holds F alone and such a zero is +0, its targets are written +0
      // first.
      if (rows_.sparse() && !zeros_kept_) {
        for (const auto& [lane, target] : entries_) write(target, 0.0);
      }
      const std::span<const std::uint32_t> groups = rows_.record_->row(i);
      const double* values = rows_.record_->row_values(i);
      std::size_t written = 0;
      for (std::size_t e = 0; e < groups.size(); ++e) {
        const std::span<const Entry> entries = group(groups[e]);
        for (const auto& [lane, target] : entries) write(target, values[4 * e + lane]);
        written += entries.size();
      }
      const double* end = rows_.tail(i);
      for (const auto& [c, target] : tail_) write(target, end[c - rows_.cols_ / 4 * 4]);
      if (zeros_kept_ || written == entries_.size() || rows_.sparse()) return;
    }
    const double* f = rows_.dense_ + i * rows_.cols_;
    for (const auto& [c, target] : wanted_) write(target, f[c]);
  }

 private:
  using Entry = std::pair<std::uint32_t, std::size_t>;  // (lane, target)
  // The wanted columns of whole group g.
  std::span<const Entry> group(std::size_t g) const {
    return {entries_.data() + first_[g], first_[g + 1] - first_[g]};
  }

  const FactorRows& rows_;
  bool zeros_kept_;
  std::vector<Wanted> wanted_;      // every wanted column (read from F)
  std::vector<Wanted> tail_;        // those past the last whole group
  std::vector<std::size_t> first_;  // group g's entries: [first_[g], first_[g + 1])
  std::vector<Entry> entries_;      // the whole groups' wanted columns, by group
};

// F's chosen columns read down its rows: F_ic = column(c)[i·stride()] up
// to the sign of a zero. Where F's structure is recorded they are first
// copied out of its packed groups, one contiguous column each (a small read
// in place of F's scattered lines); otherwise they are read in F itself.
class FactorRows::DownColumns {
 public:
  DownColumns(const FactorRows& rows, std::span<const std::size_t> columns);
  DownColumns(const DownColumns&) = delete;
  DownColumns& operator=(const DownColumns&) = delete;
  ~DownColumns();

  const double* column(std::size_t c) const { return base_ + offset_[c]; }
  std::size_t stride() const { return stride_; }

 private:
  std::vector<double> copies_;
  std::vector<std::size_t> offset_;  // column c at base_ + offset_[c]
  const double* base_ = nullptr;
  std::size_t stride_ = 1;
};

}  // namespace morva
