// Building the stored columns W of V = diag(r)·W·M (stored_columns.hpp):
// the profile of the data's columns, which of them share, the dense block
// and the compressed rows, the factor transform, and the views of one
// storage that selection and rescaling make without storing anew.
#include "stored_columns.hpp"

#include <algorithm>
#include <cmath>
#include <functional>
#include <limits>
#include <utility>

#include "column_sharing.hpp"
#include "covariance_columns.hpp"
#include "large_storage.hpp"
#include "morva/large_storage.hpp"

namespace morva {
namespace {

// Test switch of the dense storage (test_hooks::ScopedDenseColumns).
thread_local bool t_dense_columns = false;

// The new number of a stored column a selection drops.
constexpr std::uint32_t kDropped = std::numeric_limits<std::uint32_t>::max();

}  // namespace

std::expected<ReducedColumns, SolverError> ReducedColumns::create(const FactorQuad& quadratic,
                                                                  std::span<const double* const> rows,
                                                                  const ReducedColumns* same_factors) {
  ReducedColumns columns;
  if (t_dense_columns) {
    auto c = covariance_columns(quadratic);
    if (!c) return std::unexpected(c.error());
    columns.store(*c, rows, true);
    columns.covariance_columns_ = true;
    return columns;
  }
  if (auto transform = columns.set_transform(quadratic); !transform)
    return std::unexpected(transform.error());
  std::shared_ptr<const ColumnProfile> factor_part;
  if (same_factors != nullptr && same_factors->n_ == quadratic.assets() &&
      same_factors->k_ == quadratic.factor_count()) {
    factor_part = same_factors->storage_->factor_profile;
  }
  columns.store(FactorRows(quadratic), rows, false, std::move(factor_part));
  return columns;
}

std::expected<void, SolverError> ReducedColumns::set_transform(const FactorQuad& quadratic,
                                                               const Matrix* lower) {
  const std::size_t k = quadratic.factor_count();
  covariance_columns_ = false;
  roots_.clear();
  lower_ = upper_ = Matrix();
  if (quadratic.omega.is_dense()) {
    if (lower != nullptr) {
      lower_ = *lower;
    } else {
      auto factored = semidefinite_cholesky(quadratic.omega.dense_matrix());
      if (!factored) return std::unexpected(factored.error());
      lower_ = std::move(*factored);
    }
    transform_ = Transform::Lower;
    const Matrix& l = lower_;
    upper_ = Matrix::zeros(l.cols(), l.rows());
    for (std::size_t i = 0; i < l.rows(); ++i) {
      for (std::size_t j = 0; j < l.cols(); ++j) upper_(j, i) = l(i, j);
    }
  } else {
    transform_ = Transform::Diagonal;
    roots_.resize(k);
    for (std::size_t l = 0; l < k; ++l) roots_[l] = std::sqrt(quadratic.omega.diagonal_values()[l]);
  }
  return {};
}

std::expected<ReducedColumns, SolverError> ReducedColumns::select(const FactorQuad& quadratic,
                                                                  std::span<const std::size_t> kept,
                                                                  std::span<const double* const> kept_rows,
                                                                  const Matrix* lower) const {
  const bool ascending = std::adjacent_find(kept.begin(), kept.end(), std::greater_equal<>()) == kept.end();
  const bool in_range = kept.empty() || kept.back() < h_ - k_;
  if (stores_plainly() || !ascending || !in_range || quadratic.factor_count() != k_ ||
      quadratic.assets() != n_) {
    return create(quadratic, kept_rows);
  }
  ReducedColumns out = *this;
  if (auto transform = out.set_transform(quadratic, lower); !transform)
    return std::unexpected(transform.error());
  out.h_ = k_ + kept.size();
  out.source_.resize(k_);
  out.multiplier_.resize(k_);
  for (std::size_t r : kept) {
    out.source_.push_back(source_[k_ + r]);
    out.multiplier_.push_back(multiplier_[k_ + r]);
  }
  if (auto compact = compacted(*storage_, k_, out.source_)) out.storage_ = std::move(compact);
  return out;
}

bool ReducedColumns::stores_plainly() const {
  return t_dense_columns || storage_->forced_dense;
}

// The stored columns `source` reads (its first k entries factor columns),
// numbered and laid out as store would for the selected columns on their own,
// `source` rewritten to the new numbers; null, `source` untouched, when that
// is every column with the same readers. (A column stored for a dropped row
// that a kept one repeats keeps that row's values, with κ's sign.)
std::shared_ptr<const ReducedColumns::Storage> ReducedColumns::compacted(const Storage& w, std::size_t k,
                                                                         std::vector<std::uint32_t>& source) {
  std::vector<char> kept(w.width, 0), read(w.width, 0);
  for (std::size_t j = 0; j < source.size(); ++j) {
    kept[source[j]] = 1;
    if (j >= k) read[source[j]] = 1;
  }
  if (std::ranges::count(kept, char{0}) == 0 && read == w.read_by_constraint) return nullptr;
  auto out = std::make_shared<Storage>();
  const std::vector<std::uint32_t> renumber = out->number_kept(w, kept, read);
  for (auto& s : source) s = renumber[s];
  out->take_dense(w, renumber);
  out->take_sparse(w, renumber);
  return out;
}

// The kept columns no kept constraint column reads, then the others, each
// group in the old order (store's numbering of the selection's columns).
std::vector<std::uint32_t> ReducedColumns::Storage::number_kept(const Storage& from,
                                                                std::span<const char> kept,
                                                                std::span<const char> read) {
  std::vector<std::uint32_t> renumber(from.width, kDropped);
  for (const char reader : {char{0}, char{1}}) {
    for (std::size_t s = 0; s < from.width; ++s) {
      if (!kept[s] || read[s] != reader) continue;
      renumber[s] = static_cast<std::uint32_t>(width++);
      read_by_constraint.push_back(reader);
      if (s < from.factor_width) ++factor_width;
    }
    if (reader == 0) first_constraint_column = width;
  }
  return renumber;
}

// The kept dense slots in their new columns' order, and the block's rows.
void ReducedColumns::Storage::take_dense(const Storage& from, std::span<const std::uint32_t> renumber) {
  std::vector<std::pair<std::uint32_t, std::size_t>> slots;  // (new column, old slot)
  for (std::size_t a = 0; a < from.dense_column.size(); ++a) {
    const std::uint32_t s = renumber[from.dense_column[a]];
    if (s != kDropped) slots.emplace_back(s, a);
  }
  std::ranges::sort(slots);
  for (const auto& [column, slot] : slots) {
    dense_column.push_back(column);
    if (column < factor_width) factor_end = dense_column.size();
    if (column < first_constraint_column) leading = dense_column.size();
  }
  const std::size_t n = from.row_start.size() - 1;
  const std::size_t p = from.dense_column.size();
  dense.reserve(n * slots.size());
  for (std::size_t i = 0; i < n; ++i) {
    for (const auto& slot : slots) dense.push_back(from.dense[i * p + slot.second]);
  }
}

// Each row's kept compressed entries, in increasing new column.
void ReducedColumns::Storage::take_sparse(const Storage& from, std::span<const std::uint32_t> renumber) {
  const std::size_t n = from.row_start.size() - 1;
  row_start.assign(n + 1, 0);
  std::vector<std::pair<std::uint32_t, double>> entries;
  for (std::size_t i = 0; i < n; ++i) {
    entries.clear();
    for (std::size_t e = from.row_start[i]; e < from.row_start[i + 1]; ++e) {
      const std::uint32_t s = renumber[from.sparse_column[e]];
      if (s != kDropped) entries.emplace_back(s, from.sparse_value[e]);
    }
    std::ranges::sort(entries, {}, &std::pair<std::uint32_t, double>::first);
    for (const auto& [s, v] : entries) {
      sparse_column.push_back(s);
      sparse_value.push_back(v);
    }
    row_start[i + 1] = sparse_column.size();
  }
}

std::expected<ReducedColumns, SolverError> ReducedColumns::rescaled(const QpProblem& target,
                                                                    std::span<const double> row_scale,
                                                                    double factor_scale,
                                                                    std::span<const double> constraint_scale,
                                                                    const Matrix* lower) const {
  if (stores_plainly()) return create(target.quadratic, constraint_rows(target));
  ReducedColumns out = *this;
  if (auto transform = out.set_transform(target.quadratic, lower); !transform)
    return std::unexpected(transform.error());
  for (std::size_t j = 0; j < h_; ++j) {
    out.multiplier_[j] *= j < k_ ? factor_scale : (constraint_scale.empty() ? 1.0 : constraint_scale[j - k_]);
  }
  if (!row_scale.empty()) {
    for (std::size_t i = 0; i < n_; ++i) out.row_scale_[i] *= row_scale[i];
  }
  return out;
}

ReducedColumns::Storage::~Storage() {
  keep_storage(dense);
}

// Every column of [F, rows ᵀ] that equals an earlier one, or its negation,
// reads that one's stored column (κ = ±1); each other column is stored once:
// densely when it has more than n / kDenseColumnDivisor nonzeros, else
// through its nonzeros. With a non-finite entry anywhere (or `all_dense`)
// every column is stored densely and none shares, so that no 0·inf or 0·NaN
// term is skipped and the arithmetic is the plain one.
void ReducedColumns::store(const FactorRows& factors, std::span<const double* const> rows, bool all_dense,
                           std::shared_ptr<const ColumnProfile> factor_part, KnownSupports known) {
  const std::size_t n = factors.rows();
  const std::size_t k = factors.cols();
  n_ = n;
  k_ = k;
  h_ = k + rows.size();
  if (!factor_part) factor_part = std::make_shared<const ColumnProfile>(factor_profile(factors));
  const ColumnProfile profile = column_profile(factor_part, n, rows, known);
  all_dense = all_dense || !profile.finite;

  Sharing sharing = shared_columns(factors, rows, profile, !all_dense);
  auto storage = std::make_shared<Storage>();
  Storage& w = *storage;
  w.width = sharing.primary.size();
  w.forced_dense = all_dense;
  w.first_constraint_column = order_by_reader(sharing);
  source_ = std::move(sharing.source);
  multiplier_ = std::move(sharing.multiplier);
  row_scale_.assign(n, 1.0);
  const std::vector<std::size_t> primary = std::move(sharing.primary);
  w.read_by_constraint = std::move(sharing.read);
  w.factor_profile = std::move(factor_part);
  // Dense slots in column order: the columns no constraint column reads come first.
  std::vector<char> dense(w.width);
  for (std::size_t s = 0; s < w.width; ++s) {
    if (primary[s] < k) ++w.factor_width;
    dense[s] = all_dense || !profile.compressed(primary[s], n);
    if (!dense[s]) continue;
    w.dense_column.push_back(s);
    if (s < w.first_constraint_column) w.leading = w.dense_column.size();
  }
  fill_dense(factors, rows, primary, w);
  fill_sparse(n, profile, primary, dense, w);
  storage_ = std::move(storage);
}

// The dense block, row by row in slot order: slot a reads row i's entry of
// its constraint row, or of F through FactorRows::Columns. Each row is
// gathered, then appended, so that no entry of the block is written twice.
void ReducedColumns::fill_dense(const FactorRows& factors, std::span<const double* const> rows,
                                std::span<const std::size_t> primary, Storage& w) {
  const std::size_t n = factors.rows();
  const std::size_t k = factors.cols();
  const std::size_t p = w.dense_column.size();
  std::vector<FactorRows::Columns::Wanted> wanted;               // (column of F, slot)
  std::vector<std::pair<const double*, std::size_t>> elsewhere;  // (constraint row, slot)
  for (std::size_t a = 0; a < p; ++a) {
    const std::size_t j = primary[w.dense_column[a]];
    if (j < k) {
      wanted.emplace_back(j, a);
      w.factor_end = a + 1;
    } else {
      elsewhere.emplace_back(rows[j - k], a);
    }
  }
  const FactorRows::Columns columns(factors, wanted);
  w.dense = large_storage(n * p);
  std::vector<double> row(p);
  for (std::size_t i = 0; i < n; ++i) {
    columns.row(i, [&](std::size_t a, double v) { row[a] = v; });
    for (const auto& [from, a] : elsewhere) row[a] = from[i];
    w.dense.insert(w.dense.end(), row.begin(), row.end());
  }
}

// The compressed rows from the entries the profile kept, each row's in
// increasing stored column: those factor columns read ([0, factor_width))
// are a prefix of every row, those constraint columns read a suffix.
void ReducedColumns::fill_sparse(std::size_t n, const ColumnProfile& profile,
                                 std::span<const std::size_t> primary, std::span<const char> dense,
                                 Storage& w) {
  // Entries per row, then the offsets, then the entries.
  w.row_start.assign(n + 1, 0);
  for (std::size_t s = 0; s < w.width; ++s) {
    if (dense[s]) continue;
    for (const std::uint32_t i : profile.column_entries(primary[s]).rows) ++w.row_start[i + 1];
  }
  for (std::size_t i = 0; i < n; ++i) w.row_start[i + 1] += w.row_start[i];
  w.sparse_column.resize(w.row_start[n]);
  w.sparse_value.resize(w.row_start[n]);
  std::vector<std::size_t> next(w.row_start.begin(), w.row_start.end() - 1);
  for (std::size_t s = 0; s < w.width; ++s) {
    if (dense[s]) continue;
    const ColumnEntries& entries = profile.column_entries(primary[s]);
    for (std::size_t e = 0; e < entries.rows.size(); ++e) {
      const std::uint32_t i = entries.rows[e];
      w.sparse_column[next[i]] = static_cast<std::uint32_t>(s);
      w.sparse_value[next[i]++] = entries.values[e];
    }
  }
}

ReducedColumns ReducedColumns::from_matrix(const Matrix& u, std::size_t split) {
  const std::size_t n = u.rows();
  Matrix leading = Matrix::zeros(n, split);
  std::vector<std::vector<double>> trailing(u.cols() - split, std::vector<double>(n));
  std::vector<const double*> rows;
  for (std::size_t i = 0; i < n; ++i) {
    for (std::size_t j = 0; j < u.cols(); ++j) (j < split ? leading(i, j) : trailing[j - split][i]) = u(i, j);
  }
  for (const auto& column : trailing) rows.push_back(column.data());
  ReducedColumns columns;
  columns.store(leading, rows, false);
  columns.covariance_columns_ = true;
  return columns;
}

ReducedColumns ReducedColumns::of_data(const FactorRows& factors, std::span<const double* const> rows,
                                       KnownSupports known) {
  ReducedColumns columns;
  columns.store(factors, rows, false, nullptr, known);
  return columns;
}

std::vector<const double*> constraint_rows(const QpProblem& problem) {
  std::vector<const double*> rows;
  rows.reserve(problem.m_eq() + problem.m_in());
  for (std::size_t r = 0; r < problem.m_eq(); ++r) rows.push_back(problem.equalities.matrix.row(r).data());
  for (std::size_t r = 0; r < problem.m_in(); ++r) rows.push_back(problem.inequalities.matrix.row(r).data());
  return rows;
}

namespace test_hooks {
ScopedDenseColumns::ScopedDenseColumns() : previous_(t_dense_columns) {
  t_dense_columns = true;
}
ScopedDenseColumns::~ScopedDenseColumns() {
  t_dense_columns = previous_;
}
}  // namespace test_hooks

}  // namespace morva
