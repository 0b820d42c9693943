// Streaming over the stored columns W of V = diag(r)·W·M (stored_columns.hpp):
// the products with V, an ADMM iteration's two passes, V written out and
// Vᵀ·diag(g)·V. A pass reads W once, row by row: the dense slots through
// accumulators in slot order (four rows sharing one load and store of them),
// the compressed entries directly. Every sum takes the rows in increasing order.
#include <algorithm>
#include <array>

#include "detail/dense_cholesky.hpp"
#include "detail/simd.hpp"
#include "stored_columns.hpp"

namespace morva {
namespace {

// Rows per block of the work fused into a pass (the block's vectors stay in
// the first-level cache): a multiple of four, so that the groups of four rows
// the dense slots accumulate in are the same with or without blocks.
constexpr std::size_t kFusedRows = 64;
static_assert(kFusedRows % 4 == 0);

// A pass with nothing to do before a block of rows.
constexpr auto kNoBlocks = [](std::size_t, std::size_t) {};

}  // namespace

// Row i of W: its dense slots at dense + i·slots, and its compressed entries
// [row_start[i], row_start[i + 1]) in increasing stored column.
struct ReducedColumns::Rows {
  explicit Rows(const Storage& w)
      : dense(w.dense.data()),
        slots(w.dense_column.size()),
        row_start(w.row_start.data()),
        column(w.sparse_column.data()),
        value(w.sparse_value.data()) {}

  const double* dense;
  std::size_t slots;
  const std::size_t* row_start;
  const std::uint32_t* column;
  const double* value;

  const double* dense_row(std::size_t i) const { return dense + i * slots; }
  // The dense parts of W_i·v (v by its dense slots, in slot order) for rows
  // [first, first + count) into out, four rows at a time (detail::dot4_rows).
  void dense_dots(std::size_t first, std::size_t count, const double* v_slots, double* out) const {
    detail::dot4_rows(v_slots, dense_row(first), slots, count, slots, out);
  }
  // s plus the compressed entries of W_i·v, in order.
  double add_compressed(std::size_t i, double s, const double* v_columns) const {
    for (std::size_t e = row_start[i]; e < row_start[i + 1]; ++e) s += value[e] * v_columns[column[e]];
    return s;
  }
};

ReducedColumns::PassScratch ReducedColumns::scratch(std::span<double> buffer) const {
  const std::size_t p = dense_columns().size();
  const std::size_t hw = stored();
  return {{buffer.subspan(0, hw), buffer.subspan(hw, p)},
          {buffer.subspan(hw + p, hw), buffer.subspan(2 * hw + p, p)}};
}

void ReducedColumns::gather(std::span<const double> y, std::size_t first, std::size_t last,
                            const StoredVector& v, std::size_t first_slot, std::size_t last_slot) const {
  std::fill(v.columns.begin(), v.columns.end(), 0.0);
  for (std::size_t j = first; j < last; ++j) v.columns[source_[j]] += multiplier_[j] * y[j - first];
  const std::span<const std::size_t> slot_column = dense_columns();
  for (std::size_t a = first_slot; a < last_slot; ++a) v.slots[a - first_slot] = v.columns[slot_column[a]];
}

void ReducedColumns::spread(std::span<const double> ws, std::size_t first, std::size_t last,
                            std::span<double> out) const {
  for (std::size_t j = first; j < last; ++j) out[j - first] = multiplier_[j] * ws[source_[j]];
}

void ReducedColumns::transpose_products(std::span<const double> x, std::span<double> t,
                                        std::span<double> image) const {
  std::vector<double> buffer(pass_scratch());
  transpose_products(x, t, image, scratch(buffer));
}

void ReducedColumns::transpose_products(std::span<const double> x, std::span<double> t,
                                        std::span<double> image, const PassScratch& scratch) const {
  stored_sums([x](std::size_t i) { return x[i]; }, false, scratch.sum, kNoBlocks, {});
  if (!t.empty()) spread(scratch.sum.columns, 0, k_, t);
  if (!image.empty()) spread(scratch.sum.columns, k_, h_, image);
}

void ReducedColumns::add_products(std::span<const double> s, std::span<const double> y,
                                  std::span<double> out_q, std::span<double> out_cons,
                                  std::span<const double> y2, std::span<double> out2) const {
  std::vector<double> buffer(2 * pass_scratch());
  const std::span<double> both(buffer);
  add_rows(s, y, out_q, out_cons, scratch(both), y2, out2, scratch(both.subspan(pass_scratch())).sum);
}

void ReducedColumns::add_products(std::span<const double> s, std::span<const double> y,
                                  std::span<double> out_q, std::span<double> out_cons,
                                  const PassScratch& scratch) const {
  add_rows(s, y, out_q, out_cons, scratch, {}, {}, {});
}

// Row i of V_q·s is r_i·(W_i·(M_q·s)) over the dense slots [0, factor_end)
// and the row's entries of stored columns below factor_width (a prefix);
// constraint columns read the slots from `leading` on and the entries from
// first_constraint_column on (a suffix). Each row adds its factor sum first,
// so out_q and out_cons may be the same vector.
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
  // The dense sums of a block's rows (detail::dot4_rows), then each row's
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

void ReducedColumns::constraint_image(std::span<const double> x, std::span<double> image) const {
  std::vector<double> buffer(pass_scratch());
  const PassScratch pass = scratch(buffer);
  stored_sums([x](std::size_t r) { return x[r]; }, true, pass.sum, kNoBlocks, {});
  spread(pass.sum.columns, k_, h_, image);
}

void ReducedColumns::subtract_product(std::span<const double> w, std::span<const double> weight,
                                      std::span<double> x, const PassScratch& scratch) const {
  const StoredVector& v = scratch.read;
  gather(w, 0, h_, v, 0, dense_columns().size());
  const Rows rows(*storage_);
  std::array<double, kFusedRows> dense;  // the dense parts of a block's W_i·(M·w)
  for (std::size_t block = 0; block < n_; block += kFusedRows) {
    const std::size_t end = std::min(n_, block + kFusedRows);
    rows.dense_dots(block, end - block, v.slots.data(), dense.data());
    for (std::size_t i = block; i < end; ++i)
      x[i] -= weight[i] * (row_scale_[i] * rows.add_compressed(i, dense[i - block], v.columns.data()));
  }
}

// Pass 1 of an ADMM iteration: g ← weight∘g and t = Mᵀ·(Wᵀ(r∘g)) in one
// stream, `fill` writing each block of rows first.
void ReducedColumns::projection_pass(std::span<double> g, std::span<const double> weight, std::span<double> t,
                                     const PassScratch& scratch, RowBlocks fill) const {
  stored_sums([g, weight](std::size_t i) { return g[i] *= weight[i]; }, false, scratch.sum, fill, {});
  spread(scratch.sum.columns, 0, h_, t);
}

// Pass 2, the second stream: w gathered to M·w, then
//   x_i = g_i − weight_i·(r_i·(W_i·(M·w))),  image = M_consᵀ·(Wᵀ(r∘x)).
bool ReducedColumns::substitution_pass(std::span<const double> g, std::span<const double> weight,
                                       std::span<const double> w, std::span<double> x,
                                       std::span<double> image, const PassScratch& scratch,
                                       RowBlocks done) const {
  const Rows rows(*storage_);
  const bool solve = !w.empty();
  if (solve) gather(w, 0, h_, scratch.read, 0, rows.slots);
  const double* gathered = scratch.read.slots.data();
  const double* stored_w = scratch.read.columns.data();  // M·w, one per stored column
  const double* inverse = weight.data();
  const double* scale = row_scale_.data();
  // The dense parts of a block's W_r·(M·w), four rows at a time; each row
  // adds its compressed entries as its x_r is formed.
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
  stored_sums(solved, true, scratch.sum, prepare, done);
  spread(scratch.sum.columns, k_, h_, image);
  return not_finite == 0.0;
}

// sum.columns = Wᵀ(r∘x) over every stored column, or over those a constraint
// column reads (`constraints`), x_r = value_at(r) read once per row in
// increasing r; `before` takes each block of rows first, `after` once its
// values are read. One fused stream (detail::add_weighted_rows): four rows
// share each dense slot's load and store, and each row's compressed entries
// follow its dense ones (a compressed entry's column is never a dense slot,
// so that order changes no sum).
template <class RowValue, class Before>
void ReducedColumns::stored_sums(RowValue value_at, bool constraints, const StoredVector& sum, Before before,
                                 RowBlocks after) const {
  const Storage& w = *storage_;
  const Rows rows(*storage_);
  const std::size_t first_slot = constraints ? w.leading : 0;
  const std::size_t first_column = constraints ? w.first_constraint_column : 0;
  const std::size_t width = rows.slots - first_slot;
  double* acc = sum.slots.data();
  double* columns = sum.columns.data();
  std::fill(acc, acc + width, 0.0);
  std::fill(sum.columns.begin(), sum.columns.end(), 0.0);
  const double* scale = row_scale_.data();
  const auto weight = [&value_at, scale](std::size_t i) { return scale[i] * value_at(i); };
  const auto scatter = [&rows, columns, first_column](std::size_t i, double wi) {
    for (std::size_t e = rows.row_start[i]; e < rows.row_start[i + 1]; ++e) {
      if (rows.column[e] >= first_column) columns[rows.column[e]] += rows.value[e] * wi;
    }
  };
  const auto row_at = [&rows, first_slot](std::size_t i) { return rows.dense_row(i) + first_slot; };
  for (std::size_t block = 0; block < n_; block += kFusedRows) {
    const std::size_t end = std::min(n_, block + kFusedRows);
    before(block, end);
    detail::add_weighted_rows(row_at, block, end, weight, width, acc, scatter);
    after(block, end);
  }
  for (std::size_t a = first_slot; a < rows.slots; ++a) columns[w.dense_column[a]] = acc[a - first_slot];
}

// U = diag(r)·W·M·T written out: V_ij = r_i·(κ_j·W_i,source(j)), then the
// factor block through T_q and the constraint block times s.
Matrix ReducedColumns::materialize(double constraint_scale) const {
  const Storage& w = *storage_;
  const std::size_t p = w.dense_column.size();
  std::vector<double> stored_row(w.width), f(h_);
  Matrix u = Matrix::zeros(n_, h_);
  for (std::size_t i = 0; i < n_; ++i) {
    std::fill(stored_row.begin(), stored_row.end(), 0.0);
    for (std::size_t a = 0; a < p; ++a) stored_row[w.dense_column[a]] = w.dense[i * p + a];
    for (std::size_t e = w.row_start[i]; e < w.row_start[i + 1]; ++e)
      stored_row[w.sparse_column[e]] = w.sparse_value[e];
    for (std::size_t j = 0; j < h_; ++j) f[j] = row_scale_[i] * (multiplier_[j] * stored_row[source_[j]]);
    const auto out = u.row(i);
    for (std::size_t c = 0; c < k_; ++c) {
      double s = transform_ == Transform::Diagonal ? f[c] * roots_[c] : f[c];
      if (transform_ == Transform::Lower) {
        s = 0.0;
        for (std::size_t l = c; l < k_; ++l) s += f[l] * lower_(l, c);
      }
      out[c] = s;
    }
    for (std::size_t c = k_; c < h_; ++c) out[c] = constraint_scale * f[c];
  }
  return u;
}

// Vᵀ·diag(g)·V = Mᵀ·(Wᵀ·diag(r²∘g)·W)·M: entry (a, b) is κ_a·κ_b times
// entry (source(a), source(b)) of m = Wᵀ·diag(r²∘g)·W. Each entry of m is the
// sum over the rows, in increasing order, of the terms whose two entries are
// stored, accumulated in one of its two places and then written into the other.
Matrix ReducedColumns::weighted_gram(std::span<const double> g) const {
  std::vector<double> weights(n_);
  for (std::size_t i = 0; i < n_; ++i) weights[i] = (row_scale_[i] * row_scale_[i]) * g[i];
  const Storage& w = *storage_;
  const std::size_t hw = w.width;
  std::vector<double> m(hw * hw, 0.0);
  w.add_dense_gram(weights, m);
  w.mirror_gram(w.add_compressed_gram(weights, m), m);
  Matrix full = Matrix::zeros(h_, h_);
  double* entries = full.data().data();
  for (std::size_t a = 0; a < h_; ++a) {
    for (std::size_t b = 0; b < h_; ++b)
      entries[a * h_ + b] = multiplier_[a] * multiplier_[b] * m[source_[a] * hw + source_[b]];
  }
  return full;
}

// The dense slots against each other through register tiles
// (detail::dense_gram), into the lower triangle.
void ReducedColumns::Storage::add_dense_gram(std::span<const double> weights, std::vector<double>& m) const {
  const std::size_t p = dense_column.size();
  if (p == 0) return;
  std::size_t padded = 0;
  const std::vector<double> block =
      detail::dense_gram(dense.data(), weights.size(), p, weights.data(), padded);
  for (std::size_t a = 0; a < p; ++a) {
    for (std::size_t b = 0; b <= a; ++b) m[dense_column[a] * width + dense_column[b]] = block[a * padded + b];
  }
}

// A compressed entry W_is adds (W_is·g_i)·W_ic for every stored entry W_ic of
// its row: the dense slots' into row s of the returned `across`, those of its
// compressed entries up to itself into row s of m.
std::vector<double> ReducedColumns::Storage::add_compressed_gram(std::span<const double> weights,
                                                                 std::vector<double>& m) const {
  const std::size_t p = dense_column.size();
  std::vector<double> across(width * p, 0.0);
  for (std::size_t i = 0; i < weights.size(); ++i) {
    const double* dense_row = dense.data() + i * p;
    for (std::size_t e = row_start[i]; e < row_start[i + 1]; ++e) {
      const double v = sparse_value[e] * weights[i];
      double* against_slots = across.data() + sparse_column[e] * p;
      for (std::size_t a = 0; a < p; ++a) against_slots[a] += v * dense_row[a];
      double* out = m.data() + sparse_column[e] * width;
      for (std::size_t f = row_start[i]; f <= e; ++f) out[sparse_column[f]] += v * sparse_value[f];
    }
  }
  return across;
}

// Each pair a > b of stored columns was accumulated in row a (dense slots
// and a row's compressed entries go in increasing column), unless a is dense
// and b compressed: then in b's row of `across`. Both places are written.
void ReducedColumns::Storage::mirror_gram(std::span<const double> across, std::vector<double>& m) const {
  const std::size_t p = dense_column.size();
  std::vector<char> is_dense(width, 0);
  for (const std::size_t s : dense_column) is_dense[s] = 1;
  for (std::size_t s = 0; s < width; ++s) {
    if (is_dense[s]) continue;
    for (std::size_t a = 0; a < p; ++a) m[s * width + dense_column[a]] = across[s * p + a];
  }
  for (std::size_t a = 0; a < width; ++a) {
    for (std::size_t b = 0; b < a; ++b) {
      if (!is_dense[a] || is_dense[b]) {
        m[b * width + a] = m[a * width + b];
      } else {
        m[a * width + b] = m[b * width + a];
      }
    }
  }
}

}  // namespace morva
