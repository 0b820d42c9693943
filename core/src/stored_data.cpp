// What the stored columns of a problem's own data (ReducedColumns::of_data)
// tell the steps around the iteration: the constraint rows that repeat one
// another, the nonzeros of the rows kept compressed, and P·x through F's
// stored entries, so that the equilibration and the KKT checks need not
// read the dense blocks again.
#include <algorithm>
#include <cstdint>
#include <optional>
#include <utility>
#include <vector>

#include "detail/vector_ops.hpp"
#include "matrix_products.hpp"
#include "stored_columns.hpp"

namespace morva {

std::vector<std::optional<RowRepeat>> ReducedColumns::repeated_rows(std::size_t equality_rows) const {
  const std::size_t m = h_ - k_;
  std::vector<std::optional<RowRepeat>> repeats(m);
  if (stores_plainly()) return repeats;
  std::vector<std::size_t> first_row(stored(), m);  // per stored column: its first row in the group
  for (const auto& [begin, end] :
       {std::pair<std::size_t, std::size_t>{0, equality_rows}, {equality_rows, m}}) {
    std::vector<std::size_t> seen;
    for (std::size_t r = begin; r < end; ++r) {
      const std::uint32_t s = source_[k_ + r];
      if (first_row[s] == m) {
        first_row[s] = r;
        seen.push_back(s);
        continue;
      }
      repeats[r] = RowRepeat{first_row[s] - begin, multiplier_[k_ + r] * multiplier_[k_ + first_row[s]]};
    }
    for (std::uint32_t s : seen) first_row[s] = m;
  }
  return repeats;
}

std::vector<std::vector<std::uint32_t>> ReducedColumns::compressed_rows() const {
  std::vector<std::vector<std::uint32_t>> rows(h_ - k_);
  if (stores_plainly()) return rows;
  // The compressed entries of W by stored column (rows in increasing order).
  const Storage& w = *storage_;
  std::vector<std::vector<std::uint32_t>> by_column(w.width);
  for (std::size_t i = 0; i < n_; ++i) {
    for (std::size_t e = w.constraint_entries(i); e < w.row_start[i + 1]; ++e) {
      by_column[w.sparse_column[e]].push_back(static_cast<std::uint32_t>(i));
    }
  }
  for (std::size_t r = 0; r < rows.size(); ++r) rows[r] = by_column[source_[k_ + r]];
  return rows;
}

bool ReducedColumns::quadratic_product(const FactorQuad& quadratic, std::span<const double> x,
                                       std::span<double> out) const {
  const std::size_t k = k_;
  if (stores_plainly() || covariance_columns_ || x.size() != n_ || quadratic.assets() != n_ ||
      quadratic.factor_count() != k || !detail::all_finite(x)) {
    return false;
  }
  // t = Fᵀ·x: each stored column's sum over the rows in order, as the dense
  // form adds row after row; a column of F is ±1 times its stored column.
  std::vector<double> t(k), s(k);
  factor_transpose_product(x, t);
  quadratic.omega.times(t, s);
  if (!detail::all_finite(s)) return false;
  // Row i of F from its stored entries: the columns of F read from dense
  // slots, then those read from compressed ones, merged by column.
  const Storage& w = *storage_;
  const std::size_t p = w.dense_column.size();
  std::vector<std::size_t> slot_of(w.width, p);
  for (std::size_t a = 0; a < p; ++a) slot_of[w.dense_column[a]] = a;
  std::vector<std::pair<std::uint32_t, std::size_t>> from_slots;  // (column of F, slot)
  std::vector<std::vector<std::uint32_t>> readers(w.width);       // columns of F per stored column
  for (std::size_t l = 0; l < k; ++l) {
    if (slot_of[source_[l]] < p) {
      from_slots.emplace_back(static_cast<std::uint32_t>(l), slot_of[source_[l]]);
    } else {
      readers[source_[l]].push_back(static_cast<std::uint32_t>(l));
    }
  }
  std::vector<std::pair<std::uint32_t, double>> dense, sparse, entries;
  for (std::size_t i = 0; i < n_; ++i) {
    dense.clear();
    sparse.clear();
    const double* row = w.dense.data() + i * p;
    for (const auto& [l, a] : from_slots) {
      if (row[a] != 0.0) dense.emplace_back(l, multiplier_[l] * row[a]);
    }
    for (std::size_t e = w.row_start[i]; e < w.row_start[i + 1]; ++e) {
      for (const std::uint32_t l : readers[w.sparse_column[e]]) {
        sparse.emplace_back(l, multiplier_[l] * w.sparse_value[e]);
      }
    }
    std::sort(sparse.begin(), sparse.end());
    entries.resize(dense.size() + sparse.size());
    std::merge(dense.begin(), dense.end(), sparse.begin(), sparse.end(), entries.begin());
    out[i] = quadratic.diagonal[i] * x[i] + factor_row_dot(entries, s.data(), k);
  }
  return true;
}

}  // namespace morva
