#include "stored_columns.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <functional>
#include <limits>
#include <utility>

#include "column_sharing.hpp"
#include "covariance_columns.hpp"
#include "detail/dense_cholesky.hpp"
#include "detail/simd.hpp"
#include "large_storage.hpp"
#include "morva/large_storage.hpp"

namespace morva {
namespace {

// Rows per block of the work fused into a pass (the block's vectors stay in
// the first-level cache). Within a block the dense slots accumulate four rows
// at a time (detail::add_weighted_rows), the groups starting at the block's
// first row: a multiple of four, so that the groups are the same with or
// without blocks.
constexpr std::size_t kFusedRows = 64;
static_assert(kFusedRows % 4 == 0);

// Test switch of the dense storage (test_hooks::ScopedDenseColumns).
thread_local bool t_dense_columns = false;

Matrix transposed(const Matrix& m) {
  Matrix t = Matrix::zeros(m.cols(), m.rows());
  double* entries = t.data().data();
  for (std::size_t i = 0; i < m.rows(); ++i) {
    for (std::size_t j = 0; j < m.cols(); ++j) entries[j * m.rows() + i] = m(i, j);
  }
  return t;
}

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
  if (same_factors != nullptr && same_factors->storage_ && same_factors->n_ == quadratic.assets() &&
      same_factors->k_ == quadratic.factor_count()) {
    factor_part = same_factors->storage_->factor_profile;
  }
  columns.store(quadratic.factors, rows, false, std::move(factor_part));
  return columns;
}

std::expected<void, SolverError> ReducedColumns::set_transform(const FactorQuad& quadratic,
                                                               const Matrix* lower) {
  const std::size_t k = quadratic.factors.cols();
  if (quadratic.omega.is_dense()) {
    if (lower != nullptr) {
      lower_ = *lower;
    } else {
      auto factored = semidefinite_cholesky(quadratic.omega.dense_matrix());
      if (!factored) return std::unexpected(factored.error());
      lower_ = std::move(*factored);
    }
    transform_ = Transform::Lower;
    upper_ = transposed(lower_);
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
  if (stores_plainly() || !ascending || !in_range || quadratic.factors.cols() != k_ ||
      quadratic.factors.rows() != n_) {
    return create(quadratic, kept_rows);
  }
  auto out = with_transform(quadratic, lower);
  if (!out) return out;
  out->h_ = k_ + kept.size();
  out->source_.resize(k_);
  out->multiplier_.resize(k_);
  for (std::size_t r : kept) {
    out->source_.push_back(source_[k_ + r]);
    out->multiplier_.push_back(multiplier_[k_ + r]);
  }
  if (auto compact = compacted(*storage_, n_, k_, out->source_)) out->storage_ = std::move(compact);
  return out;
}

bool ReducedColumns::stores_plainly() const {
  return t_dense_columns || storage_->forced_dense;
}

std::expected<ReducedColumns, SolverError> ReducedColumns::with_transform(const FactorQuad& quadratic,
                                                                          const Matrix* lower) const {
  ReducedColumns out = *this;
  out.covariance_columns_ = false;
  out.roots_.clear();
  out.lower_ = Matrix();
  out.upper_ = Matrix();
  if (auto transform = out.set_transform(quadratic, lower); !transform) {
    return std::unexpected(transform.error());
  }
  return out;
}

// The stored columns that `source` reads (the first k entries for factor
// columns), numbered as store numbers them (those no kept constraint column
// reads first, each group in the old order), with `source` rewritten to the
// new numbers; null, `source` untouched, when that is every column with the same
// readers. The layout rules are store's, so the result is the storage the
// selected columns would get on their own (a column stored for a dropped row
// that a kept one repeats keeps that row's values, with κ's sign).
std::shared_ptr<const ReducedColumns::Storage> ReducedColumns::compacted(const Storage& w, std::size_t n,
                                                                         std::size_t k,
                                                                         std::vector<std::uint32_t>& source) {
  constexpr std::uint32_t kDropped = std::numeric_limits<std::uint32_t>::max();
  std::vector<char> kept(w.width, 0), read(w.width, 0);
  for (std::size_t j = 0; j < source.size(); ++j) {
    kept[source[j]] = 1;
    if (j >= k) read[source[j]] = 1;
  }
  if (std::ranges::count(kept, char{0}) == 0 && read == w.read_by_constraint) return nullptr;

  // The kept columns no kept constraint column reads, then the others, each
  // group in the old order (store's numbering of the selection's columns).
  auto storage = std::make_shared<Storage>();
  Storage& out = *storage;
  std::vector<std::uint32_t> renumber(w.width, kDropped);
  for (const char reader : {char{0}, char{1}}) {
    for (std::size_t s = 0; s < w.width; ++s) {
      if (!kept[s] || read[s] != reader) continue;
      renumber[s] = static_cast<std::uint32_t>(out.width++);
      out.read_by_constraint.push_back(reader);
      if (s < w.factor_width) ++out.factor_width;
    }
    if (reader == 0) out.first_constraint_column = out.width;
  }
  for (auto& s : source) s = renumber[s];
  // Dense slots in the new column order, and the old slot of each.
  std::vector<std::pair<std::uint32_t, std::size_t>> slots;  // (column, old slot)
  for (std::size_t a = 0; a < w.dense_column.size(); ++a) {
    const std::uint32_t s = renumber[w.dense_column[a]];
    if (s != kDropped) slots.emplace_back(s, a);
  }
  std::ranges::sort(slots);
  for (const auto& [column, slot] : slots) {
    out.dense_column.push_back(column);
    if (column < out.factor_width) out.factor_end = out.dense_column.size();
    if (column < out.first_constraint_column) out.leading = out.dense_column.size();
  }
  const std::size_t p = w.dense_column.size();
  const std::size_t q = slots.size();
  out.dense.reserve(n * q);
  for (std::size_t i = 0; i < n; ++i) {
    for (std::size_t b = 0; b < q; ++b) out.dense.push_back(w.dense[i * p + slots[b].second]);
  }
  // Each row's kept entries in increasing new column.
  out.row_start.assign(n + 1, 0);
  std::vector<std::pair<std::uint32_t, double>> entries;
  for (std::size_t i = 0; i < n; ++i) {
    entries.clear();
    for (std::size_t e = w.row_start[i]; e < w.row_start[i + 1]; ++e) {
      const std::uint32_t s = renumber[w.sparse_column[e]];
      if (s != kDropped) entries.emplace_back(s, w.sparse_value[e]);
    }
    std::ranges::sort(entries, {}, &std::pair<std::uint32_t, double>::first);
    for (const auto& [s, v] : entries) {
      out.sparse_column.push_back(s);
      out.sparse_value.push_back(v);
    }
    out.row_start[i + 1] = out.sparse_column.size();
  }
  return storage;
}

std::expected<ReducedColumns, SolverError> ReducedColumns::rescaled(const QpProblem& target,
                                                                    std::span<const double> row_scale,
                                                                    double factor_scale,
                                                                    std::span<const double> constraint_scale,
                                                                    const Matrix* lower) const {
  if (stores_plainly()) return create(target.quadratic, constraint_rows(target));
  auto out = with_transform(target.quadratic, lower);
  if (!out) return out;
  for (std::size_t j = 0; j < h_; ++j) {
    out->multiplier_[j] *=
        j < k_ ? factor_scale : (constraint_scale.empty() ? 1.0 : constraint_scale[j - k_]);
  }
  if (!row_scale.empty()) {
    for (std::size_t i = 0; i < n_; ++i) out->row_scale_[i] *= row_scale[i];
  }
  return out;
}

ReducedColumns::Storage::~Storage() {
  keep_storage(dense);
}

ReducedColumns ReducedColumns::from_matrix(const Matrix& u) {
  ReducedColumns columns;
  columns.store(u, {}, false);
  columns.covariance_columns_ = true;
  return columns;
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

  // Stored columns in order of first appearance: `primary` is the column of
  // the data each one copies; `read_by_constraint` whether a constraint
  // column reads it.
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
  std::vector<char> dense(w.width);
  for (std::size_t s = 0; s < w.width; ++s) {
    dense[s] = all_dense || profile.nonzeros[primary[s]] * static_cast<double>(kDenseColumnDivisor) >
                                static_cast<double>(n);
  }
  // Dense slots in column order: the columns no constraint column reads come first.
  for (std::size_t s = 0; s < w.width; ++s) {
    if (!dense[s]) continue;
    w.dense_column.push_back(s);
    if (s < w.first_constraint_column) w.leading = w.dense_column.size();
  }
  fill_dense(factors, rows, primary, w);
  fill_sparse(n, k, profile, primary, dense, w);
  storage_ = std::move(storage);
}

// The dense block, row by row in slot order: slot a reads row i's entry of
// a constraint row where it lies, or of F through F's nonzero structure
// (where recorded, a recorded group's entries from its packed copy: the
// same values, sparing F's scattered lines). Each row is gathered, then
// appended, so that no entry of the block is written twice.
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

// The compressed rows, each row's entries in increasing stored column: those
// of F's columns (a prefix of the numbers), then those of the constraint
// rows, each taken from the entries the profile kept. The entries factor
// columns read are a prefix of every row and those constraint columns read
// a suffix.
void ReducedColumns::fill_sparse(std::size_t n, std::size_t k, const ColumnProfile& profile,
                                 std::span<const std::size_t> primary, std::span<const char> dense,
                                 Storage& w) {
  std::vector<std::size_t> sparse;  // sparse stored columns from F, then from the rows
  for (const bool from_factors : {true, false}) {
    for (std::size_t s = 0; s < w.width; ++s) {
      if (!dense[s] && (primary[s] < k) == from_factors) sparse.push_back(s);
    }
  }
  for (std::size_t s = 0; s < w.width; ++s) {
    if (primary[s] < k) ++w.factor_width;
  }
  // Entries per row, then the offsets, then the entries.
  w.row_start.assign(n + 1, 0);
  for (std::size_t s : sparse) {
    for (const std::uint32_t i : profile.column_entries(primary[s]).rows) ++w.row_start[i + 1];
  }
  for (std::size_t i = 0; i < n; ++i) w.row_start[i + 1] += w.row_start[i];
  w.sparse_column.resize(w.row_start[n]);
  w.sparse_value.resize(w.row_start[n]);
  std::vector<std::size_t> next(w.row_start.begin(), w.row_start.end() - 1);
  for (std::size_t s : sparse) {
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
    for (std::size_t j = 0; j < u.cols(); ++j) {
      if (j < split) {
        leading(i, j) = u(i, j);
      } else {
        trailing[j - split][i] = u(i, j);
      }
    }
  }
  for (const auto& column : trailing) rows.push_back(column.data());
  ReducedColumns columns;
  columns.store(leading, rows, false);
  columns.covariance_columns_ = true;
  return columns;
}

ReducedColumns ReducedColumns::of_data(const Matrix& factors, std::span<const double* const> rows,
                                       const FactorGroups* structure, KnownSupports known) {
  ReducedColumns columns;
  const FactorRows read(factors, structure);
  columns.store(read, rows, false, std::make_shared<const ColumnProfile>(factor_profile(read)), known);
  return columns;
}

// ---- Products with V = diag(r)·W·M ----

// Row i of W: its dense slots at dense + i·slots, and its compressed entries
// [row_start[i], row_start[i + 1]) in increasing stored column.
struct ReducedColumns::Rows {
  const double* dense;
  std::size_t slots;
  const std::size_t* row_start;
  const std::uint32_t* column;
  const double* value;

  const double* dense_row(std::size_t i) const { return dense + i * slots; }
  // W_i·v for v given by its dense slots (in slot order) and its stored
  // columns: the dense part in detail::dot4's order, then the compressed
  // entries in order.
  double dot(std::size_t i, const double* v_slots, const double* v_columns) const {
    return add_compressed(i, detail::dot4(dense_row(i), v_slots, slots), v_columns);
  }
  // The dense parts of dot for rows [first, first + count) into out, four
  // rows at a time (detail::dot4_rows: the same sums).
  void dense_dots(std::size_t first, std::size_t count, const double* v_slots, double* out) const {
    detail::dot4_rows(v_slots, dense_row(first), slots, count, slots, out);
  }
  // s plus the compressed entries of W_i·v, in order.
  double add_compressed(std::size_t i, double s, const double* v_columns) const {
    for (std::size_t e = row_start[i]; e < row_start[i + 1]; ++e) s += value[e] * v_columns[column[e]];
    return s;
  }
};

ReducedColumns::Rows ReducedColumns::rows() const {
  const Storage& w = *storage_;
  return {w.dense.data(), w.dense_column.size(), w.row_start.data(), w.sparse_column.data(),
          w.sparse_value.data()};
}

ReducedColumns::PassScratch ReducedColumns::scratch(std::span<double> buffer) const {
  const std::size_t p = dense_columns().size();
  const std::size_t hw = stored();
  return {{buffer.subspan(0, hw), buffer.subspan(hw, p)},
          {buffer.subspan(hw + p, hw), buffer.subspan(2 * hw + p, p)}};
}

void ReducedColumns::gather_to_stored(std::span<const double> y, std::size_t first, std::size_t last,
                                      std::span<double> ws) const {
  std::fill(ws.begin(), ws.end(), 0.0);
  for (std::size_t j = first; j < last; ++j) ws[source_[j]] += multiplier_[j] * y[j - first];
}

void ReducedColumns::gather(std::span<const double> y, std::size_t first, std::size_t last,
                            const StoredVector& v, std::size_t first_slot, std::size_t last_slot) const {
  gather_to_stored(y, first, last, v.columns);
  const std::span<const std::size_t> slot_column = dense_columns();
  for (std::size_t a = first_slot; a < last_slot; ++a) v.slots[a - first_slot] = v.columns[slot_column[a]];
}

void ReducedColumns::spread(std::span<const double> ws, std::size_t first, std::size_t last,
                            std::span<double> out) const {
  for (std::size_t j = first; j < last; ++j) out[j - first] = multiplier_[j] * ws[source_[j]];
}

// Each stored column's sum runs over the rows once, in increasing order: the
// dense slots through accumulators in slot order, four rows sharing one load
// and store of them (detail::add_weighted_rows), then those rows'
// compressed entries directly.
void ReducedColumns::stored_transpose(std::span<const double> x, const StoredVector& sum) const {
  const Storage& w = *storage_;
  const std::size_t p = w.dense_column.size();
  double* acc = sum.slots.data();
  const std::span<double> ws = sum.columns;
  std::fill(acc, acc + p, 0.0);
  std::fill(ws.begin(), ws.end(), 0.0);
  const Rows rows = this->rows();
  // Blocks of kFusedRows (a multiple of four) keep add_weighted_rows' groups
  // of four rows; a compressed entry's column is never a dense slot, so its
  // sums may follow its block's dense ones.
  std::array<double, kFusedRows> weights;  // r_i·x_i of the block's rows
  for (std::size_t block = 0; block < n_; block += kFusedRows) {
    const std::size_t end = std::min(n_, block + kFusedRows);
    for (std::size_t i = block; i < end; ++i) weights[i - block] = row_scale_[i] * x[i];
    detail::add_weighted_dense_rows(rows.dense_row(block), p, end - block, weights.data(), p, acc);
    for (std::size_t i = block; i < end; ++i) {
      for (std::size_t e = rows.row_start[i]; e < rows.row_start[i + 1]; ++e)
        ws[rows.column[e]] += rows.value[e] * weights[i - block];
    }
  }
  for (std::size_t a = 0; a < p; ++a) ws[w.dense_column[a]] = acc[a];
}

void ReducedColumns::transpose_products(std::span<const double> x, std::span<double> t,
                                        std::span<double> image) const {
  std::vector<double> buffer(pass_scratch());
  transpose_products(x, t, image, scratch(buffer));
}

void ReducedColumns::transpose_products(std::span<const double> x, std::span<double> t,
                                        std::span<double> image, const PassScratch& scratch) const {
  stored_transpose(x, scratch.sum);
  if (!t.empty()) spread(scratch.sum.columns, 0, k_, t);
  if (!image.empty()) spread(scratch.sum.columns, k_, h_, image);
}

void ReducedColumns::add_products(std::span<const double> s, std::span<const double> y,
                                  std::span<double> out_q, std::span<double> out_cons) const {
  std::vector<double> buffer(pass_scratch());
  add_products(s, y, out_q, out_cons, scratch(buffer));
}

void ReducedColumns::add_products(std::span<const double> s, std::span<const double> y,
                                  std::span<double> out_q, std::span<double> out_cons,
                                  std::span<const double> y2, std::span<double> out2) const {
  const std::size_t p = dense_columns().size();
  const std::size_t hw = stored();
  std::vector<double> buffer(pass_scratch() + hw + p);
  const std::span<double> second(buffer.data() + pass_scratch(), hw + p);
  add_rows(s, y, out_q, out_cons, scratch(buffer), y2, out2, {second.first(hw), second.subspan(hw)});
}

void ReducedColumns::add_products(std::span<const double> s, std::span<const double> y,
                                  std::span<double> out_q, std::span<double> out_cons,
                                  const PassScratch& scratch) const {
  add_rows(s, y, out_q, out_cons, scratch, {}, {}, {});
}

// Row i of V_q·s is r_i times the dot product of row i of W with M_q·s:
// factor columns read the dense slots [0, factor_end) and the entries of the
// row before the first one of a stored column beyond factor_width;
// constraint columns read the slots from `leading` on and the entries of
// stored columns from first_constraint_column on (a suffix). Each row adds
// its factor sum first, then its constraint sums, so out_q and out_cons may
// be the same vector.
void ReducedColumns::add_rows(std::span<const double> s, std::span<const double> y, std::span<double> out_q,
                              std::span<double> out_cons, const PassScratch& scratch,
                              std::span<const double> y2, std::span<double> out2,
                              const StoredVector& second) const {
  const Storage& w = *storage_;
  const std::size_t p = w.dense_column.size();
  const std::size_t width = p - w.leading;
  const StoredVector& q = scratch.read;
  const StoredVector& cons = scratch.sum;
  if (!out_q.empty()) gather(s, 0, k_, q, 0, w.factor_end);
  if (!out_cons.empty()) gather(y, k_, h_, cons, w.leading, p);
  if (!out2.empty()) gather(y2, k_, h_, second, w.leading, p);
  // The dense dot4 sums of a block's rows, four rows at a time
  // (detail::dot4_rows: each the sum dot4 takes), then each row's
  // compressed entries in order.
  std::array<double, kFusedRows> dense_q, dense_cons, dense_second;
  const auto dense_sums = [&](const StoredVector& v, std::size_t offset, std::size_t len, std::size_t block,
                              std::size_t count, double* out) {
    detail::dot4_rows(v.slots.data(), w.dense.data() + block * p + offset, p, count, len, out);
  };
  for (std::size_t block = 0; block < n_; block += kFusedRows) {
    const std::size_t end = std::min(n_, block + kFusedRows);
    if (!out_q.empty()) dense_sums(q, 0, w.factor_end, block, end - block, dense_q.data());
    if (!out_cons.empty()) dense_sums(cons, w.leading, width, block, end - block, dense_cons.data());
    if (!out2.empty()) dense_sums(second, w.leading, width, block, end - block, dense_second.data());
    for (std::size_t i = block; i < end; ++i) {
      if (!out_q.empty()) {
        double sum = dense_q[i - block];
        for (std::size_t e = w.row_start[i]; e < w.row_start[i + 1] && w.sparse_column[e] < w.factor_width;
             ++e)
          sum += w.sparse_value[e] * q.columns[w.sparse_column[e]];
        out_q[i] += row_scale_[i] * sum;
      }
      const std::size_t entries = w.constraint_entries(i);
      const auto constraint_sum = [&](const StoredVector& v, double sum) {
        for (std::size_t e = entries; e < w.row_start[i + 1]; ++e)
          sum += w.sparse_value[e] * v.columns[w.sparse_column[e]];
        return row_scale_[i] * sum;
      };
      if (!out_cons.empty()) out_cons[i] += constraint_sum(cons, dense_cons[i - block]);
      if (!out2.empty()) out2[i] += constraint_sum(second, dense_second[i - block]);
    }
  }
}

void ReducedColumns::factor_transpose_product(std::span<const double> x, std::span<double> t) const {
  transpose_products(x, t, {});
}

void ReducedColumns::add_factor_product(std::span<const double> s, std::span<double> out) const {
  add_products(s, {}, out, {});
}

// The constraint columns' sums alone: the factor slots and entries, which
// stored_transpose would also sum, are skipped.
void ReducedColumns::constraint_image(std::span<const double> x, std::span<double> image) const {
  std::vector<double> buffer(pass_scratch());
  constraint_pass([x](std::size_t r) { return x[r]; }, image, scratch(buffer).sum, {},
                  [](std::size_t, std::size_t) {});
}

void ReducedColumns::add_constraint_combination(std::span<const double> y, std::span<double> out) const {
  add_products({}, y, {}, out);
}

void ReducedColumns::subtract_product(std::span<const double> w, std::span<const double> weight,
                                      std::span<double> x, const PassScratch& scratch) const {
  const StoredVector& v = scratch.read;
  gather(w, 0, h_, v, 0, dense_columns().size());
  const Rows rows = this->rows();
  std::array<double, kFusedRows> dense;  // the dense parts of a block's rows.dot
  for (std::size_t block = 0; block < n_; block += kFusedRows) {
    const std::size_t end = std::min(n_, block + kFusedRows);
    rows.dense_dots(block, end - block, v.slots.data(), dense.data());
    for (std::size_t i = block; i < end; ++i)
      x[i] -= weight[i] * (row_scale_[i] * rows.add_compressed(i, dense[i - block], v.columns.data()));
  }
}

// Pass 1 of an ADMM iteration: g ← weight∘g and t = Mᵀ·(Wᵀ(r∘g)) in one
// stream. The rows go in blocks of kFusedRows, `fill` writing each block
// first, and within them four at a time: the dense slots accumulate in
// scratch.sum.slots (slot order), each entry still taking the rows in
// increasing order; the sparse entries go straight into their stored column.
void ReducedColumns::projection_pass(std::span<double> g, std::span<const double> weight, std::span<double> t,
                                     const PassScratch& scratch, RowBlocks fill) const {
  const Rows rows = this->rows();
  const std::size_t p = rows.slots;
  const std::size_t* row_start = rows.row_start;
  const std::uint32_t* column = rows.column;
  const double* value = rows.value;
  const double* scale = row_scale_.data();
  const double* inverse = weight.data();
  double* acc = scratch.sum.slots.data();
  double* stored_t = scratch.sum.columns.data();  // Wᵀ(r∘g), one per stored column
  std::fill(acc, acc + p, 0.0);
  std::fill(stored_t, stored_t + stored(), 0.0);
  // r_i·g_i of row i once g_i is scaled; its sparse entries follow the dense
  // accumulation of its group (a stored column is dense or sparse, never
  // both, so that order changes no sum).
  double* rhs = g.data();
  const auto scaled = [rhs, inverse, scale](std::size_t i) { return scale[i] * (rhs[i] *= inverse[i]); };
  const auto scatter = [row_start, column, value, stored_t](std::size_t i, double gi) {
    for (std::size_t e = row_start[i]; e < row_start[i + 1]; ++e) stored_t[column[e]] += value[e] * gi;
  };
  const auto dense_row = [&rows](std::size_t i) { return rows.dense_row(i); };
  for (std::size_t block = 0; block < n_; block += kFusedRows) {
    const std::size_t end = std::min(n_, block + kFusedRows);
    fill(block, end);
    detail::add_weighted_rows(dense_row, block, end, scaled, p, acc, scatter);
  }
  const std::span<const std::size_t> slot_column = dense_columns();
  for (std::size_t a = 0; a < p; ++a) stored_t[slot_column[a]] = acc[a];
  spread(scratch.sum.columns, 0, h_, t);
}

// Pass 2, the second stream: w gathered to M·w, then
//   x_i = g_i − weight_i·(r_i·(W_i·(M·w))),  image = M_consᵀ·(Wᵀ(r∘x)),
// in blocks of kFusedRows (`done` takes each block once its x is final).
bool ReducedColumns::substitution_pass(std::span<const double> g, std::span<const double> weight,
                                       std::span<const double> w, std::span<double> x,
                                       std::span<double> image, const PassScratch& scratch,
                                       RowBlocks done) const {
  const Rows rows = this->rows();
  const bool solve = !w.empty();
  if (solve) gather(w, 0, h_, scratch.read, 0, rows.slots);
  const double* gathered = scratch.read.slots.data();
  const double* stored_w = scratch.read.columns.data();  // M·w, one per stored column
  const double* inverse = weight.data();
  const double* scale = row_scale_.data();
  // The dense parts of a block's W_r·(M·w), four rows at a time (rows.dot's
  // sums); each row adds its compressed entries as its x_r is formed.
  std::array<double, kFusedRows> dense;
  std::size_t block_start = 0;
  const auto prepare = [&](std::size_t block, std::size_t end) {
    if (solve) rows.dense_dots(block, end - block, gathered, dense.data());
    block_start = block;
  };
  // Σ (x_r − x_r): zero while every x_r is finite, NaN from the first that is not.
  double not_finite = 0.0;
  const auto solved = [&](std::size_t r) {
    double xr = x[r];
    if (solve) {
      xr = x[r] = g[r] - inverse[r] * (scale[r] * rows.add_compressed(r, dense[r - block_start], stored_w));
    }
    not_finite += xr - xr;
    return xr;
  };
  constraint_pass(solved, image, scratch.sum, done, prepare);
  return not_finite == 0.0;
}

// image = M_consᵀ·(Wᵀ(r∘x)) over the stored columns a constraint column
// reads alone, x_r from `value_at(r)` row by row: in blocks of kFusedRows
// and four rows at a time within them, the dense constraint slots
// accumulating in sum.slots. Every sum is the one stored_transpose forms
// for its column (the same terms in the same order; the columns no
// constraint reads are merely not summed).
template <class RowValue, class Prepare>
void ReducedColumns::constraint_pass(RowValue value_at, std::span<double> image, const StoredVector& sum,
                                     RowBlocks done, Prepare prepare) const {
  const Storage& storage = *storage_;
  const Rows rows = this->rows();
  const std::size_t first = storage.leading;
  const std::size_t width = rows.slots - first;
  double* acc = sum.slots.data();
  double* stored_image = sum.columns.data();  // Wᵀ(r∘x), one per stored column
  std::fill(acc, acc + width, 0.0);
  std::fill(stored_image, stored_image + storage.width, 0.0);
  const std::size_t* row_start = rows.row_start;
  const std::uint32_t* column = rows.column;
  const double* value = rows.value;
  const std::size_t first_constraint_column = storage.first_constraint_column;
  const double* scale = row_scale_.data();
  // r_r·x_r, its compressed constraint entries added as it is formed.
  const auto scaled_row = [&](std::size_t r) {
    const double scaled = scale[r] * value_at(r);
    for (std::size_t e = row_start[r]; e < row_start[r + 1]; ++e) {
      if (column[e] >= first_constraint_column) stored_image[column[e]] += value[e] * scaled;
    }
    return scaled;
  };
  const auto constraint_row = [&rows, first](std::size_t i) { return rows.dense_row(i) + first; };
  for (std::size_t block = 0; block < n_; block += kFusedRows) {
    const std::size_t end = std::min(n_, block + kFusedRows);
    prepare(block, end);
    detail::add_weighted_rows(constraint_row, block, end, scaled_row, width, acc);
    done(block, end);
  }
  for (std::size_t a = first; a < rows.slots; ++a) stored_image[storage.dense_column[a]] = acc[a - first];
  spread(sum.columns, k_, h_, image);
}

std::span<const std::uint32_t> ReducedColumns::sparse_columns_of(std::size_t i) const {
  const Storage& w = *storage_;
  return std::span<const std::uint32_t>(w.sparse_column)
      .subspan(w.row_start[i], w.row_start[i + 1] - w.row_start[i]);
}

std::span<const double> ReducedColumns::sparse_values_of(std::size_t i) const {
  const Storage& w = *storage_;
  return std::span<const double>(w.sparse_value).subspan(w.row_start[i], w.row_start[i + 1] - w.row_start[i]);
}

std::size_t ReducedColumns::stored_entries() const {
  return n_ * dense_columns().size() + storage_->sparse_value.size();
}

// U = diag(r)·W·M·T written out: V_ij = r_i·(κ_j·W_i,source(j)), then the
// factor block through T_q and the constraint block times s.
Matrix ReducedColumns::materialize(double constraint_scale) const {
  const Storage& w = *storage_;
  const std::size_t p = w.dense_column.size();
  std::vector<double> stored_row(w.width);
  Matrix v = Matrix::zeros(n_, h_);
  for (std::size_t i = 0; i < n_; ++i) {
    std::fill(stored_row.begin(), stored_row.end(), 0.0);
    for (std::size_t a = 0; a < p; ++a) stored_row[w.dense_column[a]] = w.dense[i * p + a];
    for (std::size_t e = w.row_start[i]; e < w.row_start[i + 1]; ++e)
      stored_row[w.sparse_column[e]] = w.sparse_value[e];
    const auto out = v.row(i);
    for (std::size_t j = 0; j < h_; ++j) out[j] = row_scale_[i] * (multiplier_[j] * stored_row[source_[j]]);
  }
  Matrix u = v;
  for (std::size_t i = 0; i < n_; ++i) {
    const auto f = v.row(i);
    const auto out = u.row(i);
    for (std::size_t c = 0; c < k_; ++c) {
      if (transform_ == Transform::Diagonal) out[c] = f[c] * roots_[c];
      if (transform_ != Transform::Lower) continue;
      double s = 0.0;
      for (std::size_t l = c; l < k_; ++l) s += f[l] * lower_(l, c);
      out[c] = s;
    }
    for (std::size_t c = k_; c < h_; ++c) out[c] = constraint_scale * f[c];
  }
  return u;
}

// Vᵀ·diag(g)·V = Mᵀ·(Wᵀ·diag(r²∘g)·W)·M. The stored Gram matrix takes every
// entry as a sum over the rows in increasing order of the terms whose two
// entries are stored: the dense block through register tiles; a sparse entry
// W_is adds (W_is·g_i)·W_ic for every stored entry W_ic of its row, into row
// s of the result. Then entry (a, b) of V's is κ_a·κ_b times entry
// (source(a), source(b)).
Matrix ReducedColumns::weighted_gram(std::span<const double> g) const {
  const Storage& w = *storage_;
  const std::size_t p = w.dense_column.size();
  const std::size_t hw = w.width;
  std::vector<double> weights(n_);
  for (std::size_t i = 0; i < n_; ++i) weights[i] = (row_scale_[i] * row_scale_[i]) * g[i];
  // hw×hw, row-major, written through its values alone.
  std::vector<double> m(hw * hw, 0.0);
  if (p > 0) {
    std::size_t padded = 0;
    const std::vector<double> block = detail::dense_gram(w.dense.data(), n_, p, weights.data(), padded);
    for (std::size_t a = 0; a < p; ++a) {
      for (std::size_t b = 0; b <= a; ++b)
        m[w.dense_column[a] * hw + w.dense_column[b]] = block[a * padded + b];
    }
  }
  // A compressed column against the dense slots accumulates in slot order
  // (`across`, one row per stored column), each entry from zero over the
  // rows in increasing order, and lands in its row of m at the end.
  std::vector<double> across(hw * p, 0.0);
  for (std::size_t i = 0; i < n_; ++i) {
    const double* dense_row = w.dense.data() + i * p;
    for (std::size_t e = w.row_start[i]; e < w.row_start[i + 1]; ++e) {
      const double v = w.sparse_value[e] * weights[i];
      double* against_slots = across.data() + w.sparse_column[e] * p;
      for (std::size_t a = 0; a < p; ++a) against_slots[a] += v * dense_row[a];
      double* out = m.data() + w.sparse_column[e] * hw;
      for (std::size_t f = w.row_start[i]; f <= e; ++f) out[w.sparse_column[f]] += v * w.sparse_value[f];
    }
  }
  // Each pair of stored columns was accumulated in one of its two rows: the
  // sparse one's when one is dense, else the one later in the order of the
  // passes (slot order for dense columns; for compressed ones the order of
  // the entries of a row: columns no constraint reads first).
  std::vector<char> is_dense(hw, 0);
  std::vector<std::size_t> order(hw, 0);
  for (std::size_t a = 0; a < p; ++a) {
    is_dense[w.dense_column[a]] = 1;
    order[w.dense_column[a]] = a;
  }
  for (std::size_t s = 0; s < hw; ++s) {
    if (is_dense[s]) continue;
    for (std::size_t a = 0; a < p; ++a) m[s * hw + w.dense_column[a]] = across[s * p + a];
  }
  for (std::size_t s = 0; s < hw; ++s) {
    if (!is_dense[s]) order[s] = (w.read_by_constraint[s] ? hw : 0) + s;
  }
  for (std::size_t a = 0; a < hw; ++a) {
    for (std::size_t b = 0; b < a; ++b) {
      const bool in_row_a = is_dense[a] == is_dense[b] ? order[a] > order[b] : !is_dense[a];
      if (in_row_a) {
        m[b * hw + a] = m[a * hw + b];
      } else {
        m[a * hw + b] = m[b * hw + a];
      }
    }
  }
  // Every column of V its own stored column with κ = 1: κ_a·κ_b·m = m exactly.
  bool identity = h_ == hw;
  for (std::size_t a = 0; identity && a < h_; ++a) identity = source_[a] == a && multiplier_[a] == 1.0;
  if (identity) return *Matrix::create(h_, h_, std::move(m));  // h·h values: cannot fail
  Matrix full = Matrix::zeros(h_, h_);
  double* entries = full.data().data();
  for (std::size_t a = 0; a < h_; ++a) {
    for (std::size_t b = 0; b < h_; ++b)
      entries[a * h_ + b] = multiplier_[a] * multiplier_[b] * m[source_[a] * hw + source_[b]];
  }
  return full;
}

std::vector<const double*> constraint_rows(const QpProblem& problem) {
  std::vector<const double*> rows;
  rows.reserve(problem.m_eq() + problem.m_in());
  for (std::size_t r = 0; r < problem.m_eq(); ++r) rows.push_back(problem.equalities.matrix.row(r).data());
  for (std::size_t r = 0; r < problem.m_in(); ++r) rows.push_back(problem.inequalities.matrix.row(r).data());
  return rows;
}

std::vector<std::span<const std::uint32_t>> known_supports(const QpProblem& problem) {
  std::vector<std::span<const std::uint32_t>> known;
  const bool any =
      problem.equalities.known_supports != nullptr || problem.inequalities.known_supports != nullptr;
  if (!any) return known;
  known.reserve(problem.m_eq() + problem.m_in());
  for (std::size_t r = 0; r < problem.m_eq(); ++r) known.push_back(problem.equalities.known_support(r));
  for (std::size_t r = 0; r < problem.m_in(); ++r) known.push_back(problem.inequalities.known_support(r));
  return known;
}

std::expected<std::shared_ptr<const ReducedColumns>, SolverError> problem_columns(const QpProblem& problem) {
  auto columns = ReducedColumns::create(problem.quadratic, constraint_rows(problem));
  if (!columns) return std::unexpected(columns.error());
  return std::make_shared<const ReducedColumns>(std::move(*columns));
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
