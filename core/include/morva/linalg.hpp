// The reduced ADMM system through the factor structure.
//
//   K = P + σI + ρ(A_eqᵀA_eq + A_inᵀA_in + I + [L1] I) = G + U·Uᵀ
//   G = diag(d) + (σ + ρ + [L1]ρ)·I,  U = [C, √ρ·A_eqᵀ, √ρ·A_inᵀ]  (n×h)
//
// solved with Sherman–Morrison–Woodbury through the Cholesky factor of the
// h×h capacitance S = I + UᵀG⁻¹U, h = k + m_eq + m_in. Nothing n×n is formed,
// except when h ≥ n: then K itself (n×n, the smaller matrix) is factored.
//
// U is never stored as it is written. Its columns are kept as the data they
// come from, V = [F, A_eqᵀ, A_inᵀ], with U = V·T for the block-diagonal
// T = diag(L, s·I): C = F·L stays implicit (L·Lᵀ = Ω) and the constraint
// columns carry their scale s (√ρ here) outside the data.
// V itself is kept as V = diag(r)·W·M: W holds each distinct column of the
// data once (a style band row that repeats a factor column, its negated lower
// side, an industry-neutrality row that repeats the industry's membership
// column all share one stored column), M sends column j of V to κ_j times
// stored column source(j), and r scales the rows. Equilibration then changes
// only r and κ, so the scaled problem's V shares the stored columns of the
// unscaled one. Each stored column is kept as its data deserve: columns with
// many nonzeros in one dense row-major block, the others (industry
// memberships, group rows) as compressed rows. W depends on neither ρ nor σ,
// so every factorisation of one problem shares it; a factorisation adds only
// G⁻¹ and the h×h factor.
#pragma once

#include <cstdint>
#include <expected>
#include <memory>
#include <span>
#include <utility>
#include <vector>

#include "morva/matrix.hpp"
#include "morva/problem.hpp"
#include "morva/solver.hpp"

namespace morva {

// Tolerance factor of the semidefinite Cholesky of a dense Ω: g = 1e-12·max(1, max|Ω|).
inline constexpr double kCovariancePivotTolerance = 1e-12;
// Capacitance pivots at or below this (absolute) mean numerical breakdown.
inline constexpr double kMinCapacitancePivot = 1e-14;
// Factorisations kept per workspace; each holds G⁻¹ and an h×h factor.
inline constexpr std::size_t kMaxCachedSystems = 16;

// C (n×k) with C·Cᵀ = F·Ω·Fᵀ: C = F·L with L·Lᵀ = Ω (semidefinite Cholesky
// for a dense Ω, √ω for a diagonal one).
std::expected<Matrix, SolverError> covariance_columns(const FactorQuad& quadratic);

// ‖row i of C‖₂ for every asset, from F and Ω without forming C.
std::expected<std::vector<double>, SolverError> covariance_row_norms(const FactorQuad& quadratic);

// V = [F, constraint rows ᵀ] (n×h) as diag(r)·W·M (stored columns W by
// density, column map M, row scale r), with the factor transform T_q that
// turns its first k columns into C = F·T_q.
class ReducedColumns {
 public:
  enum class Transform { None, Diagonal, Lower };

  // The factor columns of `quadratic` (C kept implicit) followed by one column
  // per constraint row (each row holds n coefficients). Fails only on a dense
  // Ω that is not positive semidefinite.
  static std::expected<ReducedColumns, SolverError> create(const FactorQuad& quadratic,
                                                           std::span<const double* const> rows);
  // An explicit U: every column is a factor column and T_q = I.
  static ReducedColumns from_matrix(const Matrix& u);
  // An explicit U whose columns [split, h) are constraint columns.
  static ReducedColumns from_matrix(const Matrix& u, std::size_t split);
  // The data alone, V = [F, rows ᵀ] with F as given (T_q = I), for products
  // with the problem's own matrices.
  static ReducedColumns of_data(const Matrix& factors, std::span<const double* const> rows);
  // create(quadratic, rows of `kept`) for this V built by of_data from the
  // same F: the factor columns and the constraint columns `kept` (ascending,
  // indices among the constraint columns) with `quadratic`'s transform,
  // sharing the stored columns (or holding a copy of just those it reads,
  // when it drops some). In the cases where the storage of the data is
  // not the one create would choose (non-finite data, the dense test hook)
  // it is built by create from `kept_rows`.
  std::expected<ReducedColumns, SolverError> select(const FactorQuad& quadratic,
                                                    std::span<const std::size_t> kept,
                                                    std::span<const double* const> kept_rows) const;
  // V of `target`, a rescaling of the problem this V was built from by
  // of_data: diag(row_scale)·V·diag(factor_scale·1_k, constraint_scale)
  // (an empty row_scale or constraint_scale means ones) with target's factor
  // transform, sharing the stored columns. Equilibration scales F's rows by
  // √c·D and the constraint rows by E and D, which is this with r = D,
  // factor_scale = √c, constraint_scale = E. Where the storage is not
  // create's (see select) it is create(target's quadratic, target's rows).
  std::expected<ReducedColumns, SolverError> rescaled(const QpProblem& target,
                                                      std::span<const double> row_scale, double factor_scale,
                                                      std::span<const double> constraint_scale) const;

  // Products with V (through the stored entries of W; each stored column's
  // sum over the rows in increasing order, or along a row in increasing
  // slot order):
  //   t = V_qᵀ·x (k entries),  out += V_q·s,
  //   image = V_consᵀ·x (one entry per constraint column),  out += V_cons·y.
  // Both transposed products in one stream over the rows (an empty t or
  // image is skipped), and both combinations in one (an empty output is
  // skipped; out_q and out_cons may be the same vector, each row adding its
  // factor part first).
  void transpose_products(std::span<const double> x, std::span<double> t, std::span<double> image) const;
  void add_products(std::span<const double> s, std::span<const double> y, std::span<double> out_q,
                    std::span<double> out_cons) const;
  void factor_transpose_product(std::span<const double> x, std::span<double> t) const;
  void add_factor_product(std::span<const double> s, std::span<double> out) const;
  void constraint_image(std::span<const double> x, std::span<double> image) const;
  void add_constraint_combination(std::span<const double> y, std::span<double> out) const;

  std::size_t assets() const { return n_; }
  std::size_t rank() const { return h_; }
  std::size_t factors() const { return k_; }
  Transform transform() const { return transform_; }
  // True when the factor columns hold C itself (an explicit U, or the dense
  // test hook), so that P = diag(d) + V_q·V_qᵀ; otherwise they hold F and
  // P = diag(d) + V_q·Ω·V_qᵀ.
  bool holds_covariance_columns() const { return covariance_columns_; }
  // Columns of W, and how V reads them: column j of V is
  // multiplier(j)·diag(row_scale())·W[:, source(j)].
  std::size_t stored() const { return storage_->width; }
  std::size_t source(std::size_t j) const { return source_[j]; }
  double multiplier(std::size_t j) const { return multiplier_[j]; }
  std::span<const double> row_scale() const { return row_scale_; }
  // Stored columns kept densely, in increasing order: those only factor
  // columns read come first (the stored columns are numbered so).
  std::span<const std::size_t> dense_columns() const { return storage_->dense_column; }
  // The nonzero entries of the other stored columns of row i, in increasing
  // stored column.
  std::span<const std::uint32_t> sparse_columns_of(std::size_t i) const;
  std::span<const double> sparse_values_of(std::size_t i) const;
  // U = V·diag(T_q, s·I) written out (n×h); for tests and benchmarks.
  Matrix materialize(double constraint_scale) const;
  // Doubles of scratch the two passes of an ADMM iteration take.
  std::size_t pass_scratch() const { return 2 * (dense_columns().size() + stored()); }

  // The storage as the passes over the rows read it: the dense block (row i
  // at dense + i·dense_columns().size()) and the compressed rows (row i owns
  // entries [row_start[i], row_start[i + 1]), in increasing stored column;
  // constraint columns read the stored columns from first_constraint_column
  // on, factor columns some of those before).
  struct Raw {
    const double* dense;
    const std::size_t* row_start;
    const std::uint32_t* column;
    const double* value;
    std::size_t first_constraint_column;
  };
  Raw raw() const {
    const Storage& w = *storage_;
    return {w.dense.data(), w.row_start.data(), w.sparse_column.data(), w.sparse_value.data(),
            w.first_constraint_column};
  }

 private:
  friend class SmwSystem;
  // W: the distinct columns of the data.
  struct Storage {
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

    // The first entry of row i whose column a constraint column reads.
    std::size_t constraint_entries(std::size_t i) const {
      std::size_t e = row_start[i + 1];
      while (e > row_start[i] && sparse_column[e - 1] >= first_constraint_column) --e;
      return e;
    }
  };

  ReducedColumns() = default;
  void store(const Matrix* factors, std::span<const double* const> rows, bool all_dense);
  static std::shared_ptr<const Storage> compacted(const Storage& w, std::size_t n, std::size_t k,
                                                  std::vector<std::uint32_t>& source);
  static void fill_dense(const Matrix& factors, std::span<const double* const> rows,
                         std::span<const std::size_t> primary, Storage& w);
  static void fill_sparse(const Matrix& factors, std::span<const double* const> rows,
                          std::span<const std::size_t> primary, std::span<const char> dense, Storage& w);
  std::expected<void, SolverError> set_transform(const FactorQuad& quadratic);
  // This V with `quadratic`'s factor transform, sharing the stored columns.
  std::expected<ReducedColumns, SolverError> with_transform(const FactorQuad& quadratic) const;
  // Vᵀ·diag(g)·V, full symmetric h×h.
  Matrix weighted_gram(std::span<const double> g) const;
  // ws = Wᵀ(r∘x) over every stored column, the dense slots accumulating in
  // `acc` (dense_columns().size() doubles): each sum over the rows in order.
  void stored_transpose(std::span<const double> x, std::span<double> ws, double* acc) const;
  // ws_s = Σ_{j ∈ [first, last), source(j) = s} κ_j·y_{j − first}.
  void gather_to_stored(std::span<const double> y, std::size_t first, std::size_t last,
                        std::span<double> ws) const;

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

// A non-owning callable over a range of rows [first, last), for work the
// caller fuses into a pass over V (the pass calls it on consecutive blocks
// of rows, in increasing order, while their data are in cache). Empty: no
// call. The callable must outlive the pass.
class RowBlocks {
 public:
  RowBlocks() = default;
  template <class F>
  RowBlocks(const F& f)  // NOLINT(google-explicit-constructor): a view of f
      : object_(&f), call_([](const void* object, std::size_t first, std::size_t last) {
          (*static_cast<const F*>(object))(first, last);
        }) {}
  void operator()(std::size_t first, std::size_t last) const {
    if (call_ != nullptr) call_(object_, first, last);
  }

 private:
  const void* object_ = nullptr;
  void (*call_)(const void*, std::size_t, std::size_t) = nullptr;
};

class SmwSystem {
 public:
  // Takes G (length n, positive) and U (n×h); fails with
  // ReducedFactorizationFailed on a pivot ≤ 1e-14 or a non-finite pivot.
  static std::expected<SmwSystem, SolverError> factor(std::vector<double> diagonal, Matrix low_rank);
  // G + U·Uᵀ with U = V·diag(T_q, s·I), s = `constraint_scale`.
  static std::expected<SmwSystem, SolverError> factor(std::vector<double> diagonal,
                                                      std::shared_ptr<const ReducedColumns> columns,
                                                      double constraint_scale);

  // r ← (G + UUᵀ)⁻¹ r = G⁻¹r − G⁻¹U·S⁻¹·UᵀG⁻¹r. Allocates scratch.
  void solve_in_place(std::span<double> r) const;
  // Allocation-free form; `scratch` holds at least solve_scratch() doubles.
  void solve_in_place(std::span<double> r, std::span<double> scratch) const;

  // The right-hand side pass of an ADMM iteration. On entry g holds the part
  // b of r that involves no constraint column; `weights` (one per constraint
  // column, in V's units) add the constraint pull: r = b + A_consᵀ·weights.
  // Leaves g = G⁻¹b and t = UᵀG⁻¹b − ν (h entries), ν = T⁻¹·[0; weights],
  // from which back_substitute forms K⁻¹r = G⁻¹b − G⁻¹U·S⁻¹·t — or, when
  // the system works in the n-space, g = r and t untouched.
  // `fill` writes g on each block of rows before the pass reads it.
  void project_rhs(std::span<double> g, std::span<const double> weights, std::span<double> t,
                   std::span<double> dense, RowBlocks fill = {}) const;
  // The back-substitution pass: from project_rhs's g and t (t is consumed),
  // x = K⁻¹r and image = A_cons·x (one entry per constraint column, V's
  // units). Returns whether every entry of x is finite. Both passes take
  // columns().pass_scratch() doubles of `dense` scratch.
  // `done` is called on each block of rows once its entries of x are final
  // (also when some entry is not finite).
  bool back_substitute(std::span<const double> g, std::span<double> t, std::span<double> x,
                       std::span<double> image, std::span<double> dense, RowBlocks done = {}) const;

  std::size_t rank() const { return columns_ ? columns_->rank() : 0; }
  // Doubles of scratch the allocation-free solve_in_place takes.
  std::size_t solve_scratch() const { return rank() + (columns_ ? columns_->pass_scratch() : 0); }
  std::span<const double> inverse_diagonal() const { return inverse_diagonal_; }
  const ReducedColumns& columns() const { return *columns_; }
  std::shared_ptr<const ReducedColumns> shared_columns() const { return columns_; }
  double constraint_scale() const { return scale_; }
  // U written out (n×h).
  Matrix low_rank() const { return columns_->materialize(scale_); }
  // True when h ≥ n: the factor is then that of K (n×n), not of S.
  bool in_asset_space() const { return asset_space_; }
  // L_S (h×h), or L_K (n×n) in the n-space; lower triangular, row-major.
  const Matrix& capacitance_factor() const { return factor_; }
  // Solves L·Lᵀ·w = t in place with the stored factor.
  void solve_capacitance_in_place(std::span<double> t) const;

 private:
  std::expected<void, SolverError> factor_capacitance();
  std::expected<void, SolverError> factor_in_asset_space(std::span<const double> diagonal);
  void apply_transform(std::span<double> v, bool transpose) const;
  void to_capacitance_space(std::span<double> t) const;
  void from_capacitance_space(std::span<double> w) const;

  std::vector<double> inverse_diagonal_;  // G⁻¹
  std::shared_ptr<const ReducedColumns> columns_;
  double scale_ = 1.0;
  bool asset_space_ = false;
  Matrix factor_;  // L_S, h×h (or L_K, n×n)
};

// The SMW system of one problem (scaled or not) for one (ρ, σ) pair. It depends
// on d, F, Ω, A_eq, A_in, the presence of the L1 term, σ and ρ only.
struct FactorizedSystem {
  SmwSystem smw;
  double rho = 0.0;
  double sigma = 0.0;
  std::size_t factors = 0;  // k: columns of U before the constraint columns
  std::size_t m_eq = 0;
  std::size_t m_in = 0;

  static std::expected<FactorizedSystem, SolverError> create(const QpProblem& problem, double rho,
                                                             double sigma);
  // The same with V already built for this problem (shared, not copied).
  static std::expected<FactorizedSystem, SolverError> create(const QpProblem& problem,
                                                             std::shared_ptr<const ReducedColumns> columns,
                                                             double rho, double sigma);
};

// The problem's equality rows, then its inequality rows (n coefficients each).
std::vector<const double*> constraint_rows(const QpProblem& problem);

// V of a problem: the factor columns, the equality rows, the inequality rows.
std::expected<std::shared_ptr<const ReducedColumns>, SolverError> problem_columns(const QpProblem& problem);

// The factorisations of one problem for the (ρ, σ) pairs a workspace has
// used, most recently used first, at most kMaxCachedSystems of them, with the
// count of every factorisation ever built. Keys compare by bit pattern: values
// that differ in the last bit (or ±0) are different systems. Read like a
// vector of (ρ, system) pairs. Every entry shares the one V of the problem;
// a miss builds only G⁻¹ and the h×h factor.
class SystemCache {
 public:
  using Entry = std::pair<double, FactorizedSystem>;  // (ρ, its system)

  // Brings the system for (rho, sigma) to the front, building it on a miss
  // (factorizations() + 1, the least recently used dropped beyond the
  // limit), and returns it. On error the cache and counter are unchanged.
  std::expected<const FactorizedSystem*, SolverError> ensure(const QpProblem& problem, double rho,
                                                             double sigma);
  // The V every system of this cache is built on; without it the first
  // miss builds V from the problem.
  void use_columns(std::shared_ptr<const ReducedColumns> columns) { columns_ = std::move(columns); }

  std::uint64_t factorizations() const { return factorizations_; }
  std::size_t size() const { return entries_.size(); }
  bool empty() const { return entries_.empty(); }
  const Entry& front() const { return entries_.front(); }
  const Entry& operator[](std::size_t i) const { return entries_[i]; }
  std::vector<Entry>::const_iterator begin() const { return entries_.begin(); }
  std::vector<Entry>::const_iterator end() const { return entries_.end(); }

 private:
  std::vector<Entry> entries_;
  std::shared_ptr<const ReducedColumns> columns_;
  std::uint64_t factorizations_ = 0;
};

namespace test_hooks {
// While alive, systems built on this thread store every column of V densely
// and form C = F·L: the plain arithmetic that the structured storage must
// reproduce. Internal, for equivalence tests only.
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
