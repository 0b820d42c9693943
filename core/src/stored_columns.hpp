// The columns of the reduced system as they are stored (internal to the core).
//
// U = [C, √ρ·A_eqᵀ, √ρ·A_inᵀ] is kept as the data it comes from: U = V·T with
// V = [F, A_eqᵀ, A_inᵀ] and T = diag(L, s·I), C = F·L implicit (L·Lᵀ = Ω) and
// the constraint scale s (√ρ in the iteration, 1/√δ when polishing) outside
// the data. V = diag(r)·W·M: W holds each distinct column of the data once
// (column_sharing.hpp), M sends column j of V to κ_j times stored column
// source(j), r scales the rows, so that equilibration changes only r and κ
// and shares W. W keeps its columns with many nonzeros in one dense
// row-major block, the others (industry memberships, group rows) as
// compressed rows; it depends on neither ρ nor σ.
//
// ReducedColumns is the only code that walks W: others ask it for products
// with V and for the two streams of an ADMM iteration, with a PassScratch it
// carves from their buffer. stored_columns.cpp builds W, stored_streams.cpp
// streams over it.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "factor_rows.hpp"
#include "morva/error_types.hpp"
#include "morva/matrix.hpp"
#include "morva/problem.hpp"
#include "morva/row_blocks.hpp"

namespace morva {

struct ColumnProfile;

// A constraint row that is an earlier row of its block times ±1.
struct RowRepeat {
  std::size_t earlier;  // its index within the block
  double sign;
};

// V = [F, constraint rows ᵀ] (n×h) as diag(r)·W·M, and T_q (C = F·T_q).
class ReducedColumns {
 public:
  enum class Transform { None, Diagonal, Lower };

  struct StoredVector {
    std::span<double> columns;  // one entry per stored column
    std::span<double> slots;    // one entry per dense slot, in slot order
  };
  // The scratch of one stream over W (pass_scratch() doubles): the vector its
  // rows read, and the one it sums over the rows.
  struct PassScratch {
    StoredVector read;
    StoredVector sum;
  };

  // The factor columns of `quadratic`, then one column per constraint row;
  // fails only on a dense Ω that is not positive semidefinite.
  // `same_factors`, of_data's V of quadratic's F, lends what it learnt of F.
  static std::expected<ReducedColumns, SolverError> create(const FactorQuad& quadratic,
                                                           std::span<const double* const> rows,
                                                           const ReducedColumns* same_factors = nullptr);
  // An explicit U (T_q = I) whose columns [split, h) are constraint columns.
  static ReducedColumns from_matrix(const Matrix& u, std::size_t split);
  // V = [F, rows ᵀ] (T_q = I), for products with the problem's own data;
  // `known`, the rows' recorded supports, spares reading their zeros.
  static ReducedColumns of_data(const FactorRows& factors, std::span<const double* const> rows,
                                KnownSupports known = {});
  // For of_data's V of quadratic's F: create(quadratic, rows of `kept`
  // (ascending)), sharing W or a copy of the columns it reads; where W is
  // plain (stores_plainly), create from `kept_rows`. `lower`: L of a dense Ω.
  std::expected<ReducedColumns, SolverError> select(const FactorQuad& quadratic,
                                                    std::span<const std::size_t> kept,
                                                    std::span<const double* const> kept_rows,
                                                    const Matrix* lower = nullptr) const;
  // create(quadratic, rows of `kept` times `scale`, this) from F's stored
  // columns and the rows' positions (`supports`), not the scaled rows.
  std::expected<ReducedColumns, SolverError> scaled_selection(
      const FactorQuad& quadratic, std::span<const std::size_t> kept,
      std::span<const double* const> kept_rows, double scale,
      std::span<const std::vector<std::uint32_t>> supports, const Matrix* lower = nullptr) const;
  // V of `target`, a rescaling of of_data's V of its problem, sharing W:
  // diag(row_scale)·V·diag(factor_scale·1_k, constraint_scale) (empty: ones;
  // equilibration's D, √c and E) with target's factor transform.
  std::expected<ReducedColumns, SolverError> rescaled(const QpProblem& target,
                                                      std::span<const double> row_scale, double factor_scale,
                                                      std::span<const double> constraint_scale,
                                                      const Matrix* lower = nullptr) const;

  // Products with V, in one stream each (an empty output is skipped; the
  // forms without scratch allocate it):
  //   t = V_qᵀ·x,  image = V_consᵀ·x;
  //   out_q += V_q·s,  out_cons += V_cons·y,  out2 += V_cons·y2 (out_q and
  //   out_cons may be one vector, each row adding its factor part first).
  void transpose_products(std::span<const double> x, std::span<double> t, std::span<double> image) const;
  void transpose_products(std::span<const double> x, std::span<double> t, std::span<double> image,
                          const PassScratch& scratch) const;
  void add_products(std::span<const double> s, std::span<const double> y, std::span<double> out_q,
                    std::span<double> out_cons, std::span<const double> y2 = {},
                    std::span<double> out2 = {}) const;
  void add_products(std::span<const double> s, std::span<const double> y, std::span<double> out_q,
                    std::span<double> out_cons, const PassScratch& scratch) const;
  void constraint_image(std::span<const double> x, std::span<double> image) const;
  // x_i −= weight_i·(V·w)_i for every row (w: h entries).
  void subtract_product(std::span<const double> w, std::span<const double> weight, std::span<double> x,
                        const PassScratch& scratch) const;
  // Vᵀ·diag(g)·V, full symmetric h×h.
  Matrix weighted_gram(std::span<const double> g) const;

  // An ADMM iteration's right-hand-side stream: per block of rows `fill`
  // writes g, then g ← weight∘g; t = Vᵀ·g.
  void projection_pass(std::span<double> g, std::span<const double> weight, std::span<double> t,
                       const PassScratch& scratch, RowBlocks fill) const;
  // The back-substitution stream: x = g − weight∘(V·w) (x kept when w is
  // empty), image = V_consᵀ·x, `done` taking each block of final x; returns
  // whether x is finite.
  bool substitution_pass(std::span<const double> g, std::span<const double> weight, std::span<const double> w,
                         std::span<double> x, std::span<double> image, const PassScratch& scratch,
                         RowBlocks done) const;

  std::size_t assets() const { return n_; }
  std::size_t rank() const { return h_; }
  std::size_t factors() const { return k_; }
  Transform transform() const { return transform_; }
  // T_q: √ω (Diagonal); L and its transpose Lᵀ, row-major (Lower).
  std::span<const double> factor_roots() const { return roots_; }
  const Matrix& factor_lower() const { return lower_; }
  const Matrix& factor_upper() const { return upper_; }
  // The factor columns hold C (an explicit U, the dense test hook):
  // P = diag(d) + V_q·V_qᵀ rather than diag(d) + V_q·Ω·V_qᵀ.
  bool holds_covariance_columns() const { return covariance_columns_; }
  // Every column dense and none shared (the dense test hook, non-finite data).
  bool stores_plainly() const;
  // Per constraint row of of_data's V: the earlier row of its block (the
  // first `equality_rows`, the others) whose stored column it shares.
  std::vector<std::optional<RowRepeat>> repeated_rows(std::size_t equality_rows) const;
  // Per constraint row of of_data's V: its nonzeros when kept compressed.
  std::vector<std::vector<std::uint32_t>> compressed_rows() const;
  // Column j of V is multiplier(j)·diag(row_scale())·W[:, source(j)].
  std::size_t stored() const { return storage_->width; }
  std::size_t source(std::size_t j) const { return source_[j]; }
  double multiplier(std::size_t j) const { return multiplier_[j]; }
  std::span<const double> row_scale() const { return row_scale_; }
  // Stored columns kept densely, in increasing order.
  std::span<const std::size_t> dense_columns() const { return storage_->dense_column; }
  // The compressed entries of row i of W, in increasing stored column.
  std::span<const std::uint32_t> sparse_columns_of(std::size_t i) const {
    const Storage& w = *storage_;
    return std::span(w.sparse_column).subspan(w.row_start[i], w.row_start[i + 1] - w.row_start[i]);
  }
  std::span<const double> sparse_values_of(std::size_t i) const {
    const Storage& w = *storage_;
    return std::span(w.sparse_value).subspan(w.row_start[i], w.row_start[i + 1] - w.row_start[i]);
  }
  // Entries of W kept: n per dense slot, and the compressed ones.
  std::size_t stored_entries() const { return n_ * dense_columns().size() + storage_->sparse_value.size(); }
  // Those entries: each nonzero of V is one of them times |κ_j|·r_i in magnitude.
  std::array<std::span<const double>, 2> stored_values() const {
    return {storage_->dense, storage_->sparse_value};
  }
  // U = V·diag(T_q, s·I) written out (n×h).
  Matrix materialize(double constraint_scale) const;
  std::size_t pass_scratch() const { return 2 * (dense_columns().size() + stored()); }
  PassScratch scratch(std::span<double> buffer) const;

 private:
  // W: the distinct columns of the data.
  struct Storage {
    // The dense block, taken from large_storage, is left for the next one.
    ~Storage();

    std::size_t width = 0;                     // stored columns
    bool forced_dense = false;                 // every column dense, none shared
    std::vector<double> dense;                 // n × dense_column.size(), row-major
    std::vector<std::size_t> dense_column;     // stored column of each dense slot
    std::size_t leading = 0;                   // dense slots no constraint column reads (a prefix)
    std::size_t factor_end = 0;                // dense slots factor columns may read (a prefix)
    std::size_t factor_width = 0;              // stored columns from F: [0, factor_width)
    std::vector<char> read_by_constraint;      // per stored column
    std::size_t first_constraint_column = 0;   // stored columns a constraint reads: [this, width)
    std::vector<std::size_t> row_start;        // n + 1 offsets into sparse_column / sparse_value
    std::vector<std::uint32_t> sparse_column;  // increasing within each row
    std::vector<double> sparse_value;
    std::shared_ptr<const ColumnProfile> factor_profile;  // of F's columns alone

    // The first entry of row i whose column a constraint column reads.
    std::size_t constraint_entries(std::size_t i) const {
      std::size_t e = row_start[i + 1];
      while (e > row_start[i] && sparse_column[e - 1] >= first_constraint_column) --e;
      return e;
    }
    // compacted's steps: `from`'s kept columns into this empty storage.
    std::vector<std::uint32_t> number_kept(const Storage& from, std::span<const char> kept,
                                           std::span<const char> read);
    void take_dense(const Storage& from, std::span<const std::uint32_t> renumber);
    void take_sparse(const Storage& from, std::span<const std::uint32_t> renumber);
    // weighted_gram's steps, into Wᵀ·diag(weights)·W (row-major).
    void add_dense_gram(std::span<const double> weights, std::vector<double>& m) const;
    std::vector<double> add_compressed_gram(std::span<const double> weights, std::vector<double>& m) const;
    void mirror_gram(std::span<const double> across, std::vector<double>& m) const;
  };
  struct Rows;  // the storage as the loops over the rows read it

  ReducedColumns() = default;
  // `factor_part`: the profile of `factors` alone, when known.
  void store(const FactorRows& factors, std::span<const double* const> rows, bool all_dense,
             std::shared_ptr<const ColumnProfile> factor_part = nullptr, KnownSupports known = {});
  static std::shared_ptr<const Storage> compacted(const Storage& w, std::size_t k,
                                                  std::vector<std::uint32_t>& source);
  static void fill_dense(const FactorRows& factors, std::span<const double* const> rows,
                         std::span<const std::size_t> primary, Storage& w);
  static void fill_sparse(std::size_t n, const ColumnProfile& profile, std::span<const std::size_t> primary,
                          std::span<const char> dense, Storage& w);
  // The scaled selection's pieces (scaled_selection.cpp).
  struct ScaledColumn;
  bool scaled_map(const ReducedColumns& data, std::span<const std::size_t> kept,
                  std::vector<std::size_t>& primary, std::vector<std::size_t>& first);
  bool take_scaled(const ReducedColumns& data, const FactorQuad& quadratic, std::span<const std::size_t> kept,
                   std::span<const double* const> kept_rows, double scale,
                   std::span<const std::vector<std::uint32_t>> supports);
  static void fill_scaled_sparse(std::size_t n, std::span<const ScaledColumn> views, Storage& w);
  // T_q of `quadratic`; `lower`, when given, is L of its dense Ω.
  std::expected<void, SolverError> set_transform(const FactorQuad& quadratic, const Matrix* lower = nullptr);
  // add_products, out2 through `second`.
  void add_rows(std::span<const double> s, std::span<const double> y, std::span<double> out_q,
                std::span<double> out_cons, const PassScratch& scratch, std::span<const double> y2,
                std::span<double> out2, const StoredVector& second) const;
  // Wᵀ(r∘x) into `sum`.
  template <class RowValue, class Before>
  void stored_sums(RowValue value_at, bool constraints, const StoredVector& sum, Before before,
                   RowBlocks after) const;
  // v.columns_s = Σ_{j ∈ [first, last), source(j) = s} κ_j·y_{j − first},
  // then v.slots the entries of dense slots [first_slot, last_slot).
  void gather(std::span<const double> y, std::size_t first, std::size_t last, const StoredVector& v,
              std::size_t first_slot, std::size_t last_slot) const;
  // out_{j − first} = κ_j·ws_source(j) for j in [first, last).
  void spread(std::span<const double> ws, std::size_t first, std::size_t last, std::span<double> out) const;

  std::size_t n_ = 0, h_ = 0, k_ = 0;
  bool covariance_columns_ = false;
  Transform transform_ = Transform::None;
  std::vector<double> roots_;  // √ω (Diagonal)
  Matrix lower_;               // L (Lower)
  Matrix upper_;               // Lᵀ (Lower), row-major, for products with Lᵀ
  std::shared_ptr<const Storage> storage_;
  std::vector<std::uint32_t> source_;  // h: stored column of each column of V
  std::vector<double> multiplier_;     // h: κ_j
  std::vector<double> row_scale_;      // n: r_i
};

// The problem's equality rows, then its inequality rows (n coefficients each).
std::vector<const double*> constraint_rows(const QpProblem& problem);

namespace test_hooks {
// While alive, V built on this thread stores every column densely and forms
// C = F·L: the plain arithmetic the structured storage must reproduce.
class ScopedDenseColumns {
 public:
  ScopedDenseColumns();
  ~ScopedDenseColumns();
  ScopedDenseColumns(const ScopedDenseColumns&) = delete;
  ScopedDenseColumns& operator=(const ScopedDenseColumns&) = delete;

 private:
  bool previous_;
};
}  // namespace test_hooks

}  // namespace morva
