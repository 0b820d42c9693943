// Which columns of the data [F, rows ᵀ] (the factor columns, then one column
// per constraint row of n coefficients) repeat one another, up to sign: a
// style band row that repeats a factor column, its negated lower side, an
// industry-neutrality row that repeats the industry's membership column. The
// stored columns (stored_columns.hpp) keep each distinct column once.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "factor_rows.hpp"
#include "morva/matrix.hpp"
#include "morva/problem.hpp"

namespace morva {

// A column of V with more than n / kDenseColumnDivisor nonzero entries is
// stored densely, any other through its nonzeros.
constexpr std::size_t kDenseColumnDivisor = 4;

// The nonzero entries of a column, in row order.
struct ColumnEntries {
  std::vector<std::uint32_t> rows;
  std::vector<double> values;
};

// What the storage needs to know of every column of [F, rows ᵀ], from one
// read: its nonzero count (exact in doubles), whether it is finite, a
// fingerprint that equal and negated columns share, and the entries of each
// column stored through its nonzeros.
struct ColumnProfile {
  std::vector<double> nonzeros;
  std::vector<std::uint64_t> fingerprint;
  bool finite = true;
  // Per column past F's (every column in F's own profile): its nonzero
  // entries when it is compressed(), else none.
  std::vector<ColumnEntries> entries;
  // F's own profile, whose entries serve F's columns; none in F's own.
  std::shared_ptr<const ColumnProfile> factors;

  bool compressed(std::size_t column, std::size_t n) const {
    return nonzeros[column] * static_cast<double>(kDenseColumnDivisor) <= static_cast<double>(n);
  }
  const ColumnEntries& column_entries(std::size_t column) const {
    const std::size_t k = factors ? factors->nonzeros.size() : 0;
    return column < k ? factors->entries[column] : entries[column - k];
  }
};

// The profile of F's columns alone, and the profile of [F, rows ᵀ] with F's
// part taken from it (F with n rows): the same as reading F again.
ColumnProfile factor_profile(const FactorRows& factors);
// `known`, when given, has one entry per row: the row's nonzero positions
// where its builder recorded them (every other entry +0), read alone, or
// none, the row read whole.
ColumnProfile column_profile(std::shared_ptr<const ColumnProfile> factor_part, std::size_t n,
                             std::span<const double* const> rows, KnownSupports known = {});

// One entry pair (a, b) of a comparison of column a with ±1 times column b,
// in row order: `sign` (0 at first) is fixed by the first nonzero b, and
// the pair holds while every entry keeps it (compared as doubles, so ±0
// match).
inline bool agrees(double& sign, double a, double b) {
  if (sign == 0.0 && b != 0.0) sign = a == b ? 1.0 : (a == -b ? -1.0 : 0.0);
  return (sign != 0.0 || b == 0.0) && a == (sign < 0.0 ? -b : b);
}

// The distinct columns, in order of first appearance (`primary`: the column
// of the data each one copies; `read`: whether a constraint column reads
// it), and for every column of the data the distinct column it reads
// (`source`) with its sign (`multiplier`, ±1).
struct Sharing {
  std::vector<std::size_t> primary;
  std::vector<char> read;
  std::vector<std::uint32_t> source;
  std::vector<double> multiplier;
};

// Every column that equals an earlier distinct column, or its negation (the
// entries compared as doubles, so ±0 match), reads it; with `share` false
// every column is distinct.
Sharing shared_columns(const FactorRows& factors, std::span<const double* const> rows,
                       const ColumnProfile& profile, bool share);

// The distinct columns renumbered so that those no constraint column reads
// come first, each group in its order of first appearance (the columns of F
// before the constraint rows in both): the columns constraint columns read
// are then the numbers from the returned count on, and F's columns [0, their
// count).
std::size_t order_by_reader(Sharing& sharing);

}  // namespace morva
