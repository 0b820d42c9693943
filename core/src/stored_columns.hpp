// The columns of the reduced system as they are stored (internal to the core).
//
// U = [C, √ρ·A_eqᵀ, √ρ·A_inᵀ] is never stored as it is written. Its columns
// are kept as the data they come from, V = [F, A_eqᵀ, A_inᵀ], with U = V·T
// for the block-diagonal T = diag(L, s·I): C = F·L stays implicit (L·Lᵀ = Ω)
// and the constraint columns carry their scale s (√ρ in the iteration, 1/√δ
// when polishing) outside the data. V itself is kept as V = diag(r)·W·M: W
// holds each distinct column of the data once (column_sharing.hpp), M sends
// column j of V to κ_j times stored column source(j), and r scales the rows.
// Equilibration then changes only r and κ, so the scaled problem's V shares
// the stored columns of the unscaled one. Each stored column is kept as its
// data deserve: columns with many nonzeros in one dense row-major block, the
// others (industry memberships, group rows) as compressed rows. W depends on
// neither ρ nor σ, so every factorisation of one problem shares it.
//
// ReducedColumns is the only code that walks W: others ask it for products
// with V, and for the two streams of an ADMM iteration, through the
// operations below and a PassScratch it carves from their buffer.
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

// V = [F, constraint rows ᵀ] (n×h) as diag(r)·W·M (stored columns W by
// density, column map M, row scale r), with the factor transform T_q that
// turns its first k columns into C = F·T_q.
class ReducedColumns {
 public:
  enum class Transform { None, Diagonal, Lower };

  // A vector over the stored columns, with one entry per dense slot beside it.
  struct StoredVector {
    std::span<double> columns;  // one entry per stored column
    std::span<double> slots;    // one entry per dense slot, in slot order
  };
  // The scratch of one stream over W (pass_scratch() doubles, carved by
  // scratch()). A stream gathers the vector its rows read into `read` (its
  // dense slots copied out in slot order) and accumulates what it sums over
  // the rows in `sum` (the dense slots in slot order, then spread to their
  // stored columns). add_products reads two vectors: its constraint one
  // through `sum`.
  struct PassScratch {
    StoredVector read;
    StoredVector sum;
  };

  // The factor columns of `quadratic` (C kept implicit) followed by one column
  // per constraint row (each row holds n coefficients). Fails only on a dense
  // Ω that is not positive semidefinite.
  // `same_factors`, when given, is a V built by of_data from quadratic's F:
  // what it learnt reading F is taken instead of reading F again.
  static std::expected<ReducedColumns, SolverError> create(const FactorQuad& quadratic,
                                                           std::span<const double* const> rows,
                                                           const ReducedColumns* same_factors = nullptr);
  // An explicit U: every column is a factor column and T_q = I.
  static ReducedColumns from_matrix(const Matrix& u);
  // An explicit U whose columns [split, h) are constraint columns.
  static ReducedColumns from_matrix(const Matrix& u, std::size_t split);
  // The data alone, V = [F, rows ᵀ] with F as given (T_q = I), for products
  // with the problem's own matrices. `structure`, F's nonzero structure
  // (FactorQuad::row_groups), and `known`, the rows' supports where recorded
  // (known_supports), spare the profile a read of their zeros.
  static ReducedColumns of_data(const Matrix& factors, std::span<const double* const> rows,
                                const FactorGroups* structure = nullptr, KnownSupports known = {});
  // create(quadratic, rows of `kept`) for this V built by of_data from the
  // same F: the factor columns and the constraint columns `kept` (ascending,
  // indices among the constraint columns) with `quadratic`'s transform,
  // sharing the stored columns (or holding a copy of just those it reads,
  // when it drops some). In the cases where the storage of the data is
  // not the one create would choose (non-finite data, the dense test hook)
  // it is built by create from `kept_rows`.
  // `lower`, when given, is L of quadratic's dense Ω (L·Lᵀ = Ω).
  std::expected<ReducedColumns, SolverError> select(const FactorQuad& quadratic,
                                                    std::span<const std::size_t> kept,
                                                    std::span<const double* const> kept_rows,
                                                    const Matrix* lower = nullptr) const;
  // create(quadratic, rows of `kept` times `scale`, this) for this V built
  // by of_data from the same F, without reading the scaled rows: F's stored
  // columns and the kept rows' positions (`supports`, compressed_rows())
  // give its storage. Where the storage would not be the one create builds
  // (see scaled_selection.cpp), the scaled rows are formed and read.
  std::expected<ReducedColumns, SolverError> scaled_selection(
      const FactorQuad& quadratic, std::span<const std::size_t> kept,
      std::span<const double* const> kept_rows, double scale,
      std::span<const std::vector<std::uint32_t>> supports, const Matrix* lower = nullptr) const;
  // V of `target`, a rescaling of the problem this V was built from by
  // of_data: diag(row_scale)·V·diag(factor_scale·1_k, constraint_scale)
  // (an empty row_scale or constraint_scale means ones) with target's factor
  // transform, sharing the stored columns. Equilibration scales F's rows by
  // √c·D and the constraint rows by E and D, which is this with r = D,
  // factor_scale = √c, constraint_scale = E. Where the storage is not
  // create's (see select) it is create(target's quadratic, target's rows).
  // `lower`, when given, is the caller's L of target's dense Ω (L·Lᵀ = Ω).
  std::expected<ReducedColumns, SolverError> rescaled(const QpProblem& target,
                                                      std::span<const double> row_scale, double factor_scale,
                                                      std::span<const double> constraint_scale,
                                                      const Matrix* lower = nullptr) const;

  // Products with V (through the stored entries of W; each stored column's
  // sum over the rows in increasing order, or along a row in increasing
  // slot order):
  //   t = V_qᵀ·x (k entries),  out += V_q·s,
  //   image = V_consᵀ·x (one entry per constraint column),  out += V_cons·y.
  // Both transposed products in one stream over the rows (an empty t or
  // image is skipped), and both combinations in one (an empty output is
  // skipped; out_q and out_cons may be the same vector, each row adding its
  // factor part first). The forms without scratch allocate it.
  void transpose_products(std::span<const double> x, std::span<double> t, std::span<double> image) const;
  void transpose_products(std::span<const double> x, std::span<double> t, std::span<double> image,
                          const PassScratch& scratch) const;
  void add_products(std::span<const double> s, std::span<const double> y, std::span<double> out_q,
                    std::span<double> out_cons) const;
  void add_products(std::span<const double> s, std::span<const double> y, std::span<double> out_q,
                    std::span<double> out_cons, const PassScratch& scratch) const;
  // add_products(s, y, out_q, out_cons) and add_constraint_combination(y2,
  // out2) in one stream, each output's sums as those form them.
  void add_products(std::span<const double> s, std::span<const double> y, std::span<double> out_q,
                    std::span<double> out_cons, std::span<const double> y2, std::span<double> out2) const;
  void factor_transpose_product(std::span<const double> x, std::span<double> t) const;
  void add_factor_product(std::span<const double> s, std::span<double> out) const;
  void constraint_image(std::span<const double> x, std::span<double> image) const;
  void add_constraint_combination(std::span<const double> y, std::span<double> out) const;
  // x_i −= weight_i·(V·w)_i for every row (w: h entries).
  void subtract_product(std::span<const double> w, std::span<const double> weight, std::span<double> x,
                        const PassScratch& scratch) const;
  // Vᵀ·diag(g)·V, full symmetric h×h.
  Matrix weighted_gram(std::span<const double> g) const;

  // The right-hand-side pass of an ADMM iteration, one stream over W: per
  // block of rows, `fill` writes g, then g ← weight∘g; t = Vᵀ·g (h entries).
  void projection_pass(std::span<double> g, std::span<const double> weight, std::span<double> t,
                       const PassScratch& scratch, RowBlocks fill) const;
  // The back-substitution pass, the second stream: x = g − weight∘(V·w)
  // (x as given when w is empty) and image = V_consᵀ·x (one entry per
  // constraint column); `done` takes each block of rows once its x is final.
  // Returns whether every entry of x is finite.
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
  // True when the factor columns hold C itself (an explicit U, or the dense
  // test hook), so that P = diag(d) + V_q·V_qᵀ; otherwise they hold F and
  // P = diag(d) + V_q·Ω·V_qᵀ.
  bool holds_covariance_columns() const { return covariance_columns_; }
  // True when every column is stored densely and none shared (the dense test
  // hook, or data that is not finite): select and rescaled then build from
  // the data they are given.
  bool stores_plainly() const;
  // For V built by of_data from F, the first `equality_rows` constraint rows
  // and then the others: each row that shares its stored column with an
  // earlier row of its own group, which it then repeats up to sign; nothing
  // where the storage is plain.
  std::vector<std::optional<RowRepeat>> repeated_rows(std::size_t equality_rows) const;
  // For V built by of_data, per constraint row: the positions of its
  // nonzero entries, in increasing order, when its stored column is kept
  // compressed (at most n / kDenseColumnDivisor of them); empty for a row
  // stored densely, and for every row where the storage is plain.
  std::vector<std::vector<std::uint32_t>> compressed_rows() const;
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
  // Entries of W kept: n per dense slot, and the compressed ones.
  std::size_t stored_entries() const;
  // Those entries: the dense block, then the compressed values. Every
  // nonzero entry of V has the magnitude of one of them times |κ_j|·r_i.
  std::array<std::span<const double>, 2> stored_values() const {
    return {storage_->dense, storage_->sparse_value};
  }
  // U = V·diag(T_q, s·I) written out (n×h); for tests and benchmarks.
  Matrix materialize(double constraint_scale) const;
  // Doubles of scratch a stream over W takes, and that scratch carved from them.
  std::size_t pass_scratch() const { return 2 * (dense_columns().size() + stored()); }
  PassScratch scratch(std::span<double> buffer) const;

 private:
  // W: the distinct columns of the data.
  struct Storage {
    Storage() = default;
    Storage(const Storage&) = default;
    Storage(Storage&&) = default;
    Storage& operator=(const Storage&) = default;
    Storage& operator=(Storage&&) = default;
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
    // The profile of the factor columns alone (column_sharing.hpp).
    std::shared_ptr<const ColumnProfile> factor_profile;

    // The first entry of row i whose column a constraint column reads.
    std::size_t constraint_entries(std::size_t i) const {
      std::size_t e = row_start[i + 1];
      while (e > row_start[i] && sparse_column[e - 1] >= first_constraint_column) --e;
      return e;
    }
  };
  // The storage as the loops over the rows read it (defined with them).
  struct Rows;

  ReducedColumns() = default;
  // `factor_part`: the profile of `factors` alone, when known.
  // F's rows are read through its nonzero structure.
  void store(const FactorRows& factors, std::span<const double* const> rows, bool all_dense,
             std::shared_ptr<const ColumnProfile> factor_part = nullptr, KnownSupports known = {});
  static std::shared_ptr<const Storage> compacted(const Storage& w, std::size_t n, std::size_t k,
                                                  std::vector<std::uint32_t>& source);
  static void fill_dense(const FactorRows& factors, std::span<const double* const> rows,
                         std::span<const std::size_t> primary, Storage& w);
  static void fill_sparse(std::size_t n, std::size_t k, const ColumnProfile& profile,
                          std::span<const std::size_t> primary, std::span<const char> dense, Storage& w);
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
  // This V with `quadratic`'s factor transform, sharing the stored columns.
  std::expected<ReducedColumns, SolverError> with_transform(const FactorQuad& quadratic,
                                                            const Matrix* lower = nullptr) const;
  Rows rows() const;
  // add_products, and out2 += V_cons·y2 through `second` when out2 is not empty.
  void add_rows(std::span<const double> s, std::span<const double> y, std::span<double> out_q,
                std::span<double> out_cons, const PassScratch& scratch, std::span<const double> y2,
                std::span<double> out2, const StoredVector& second) const;
  // sum.columns = Wᵀ(r∘x) over every stored column, the dense slots
  // accumulating in sum.slots: each sum over the rows in order.
  void stored_transpose(std::span<const double> x, const StoredVector& sum) const;
  // image = V_consᵀ·x through `sum`, x_r = value_at(r) read once per row
  // (see stored_columns.cpp); `prepare` takes each block of rows before its
  // values are read, `done` after.
  template <class RowValue, class Prepare>
  void constraint_pass(RowValue value_at, std::span<double> image, const StoredVector& sum, RowBlocks done,
                       Prepare prepare) const;
  // ws_s = Σ_{j ∈ [first, last), source(j) = s} κ_j·y_{j − first}.
  void gather_to_stored(std::span<const double> y, std::size_t first, std::size_t last,
                        std::span<double> ws) const;
  // gather_to_stored into v.columns, then v.slots[a − first_slot] =
  // v.columns[dense slot a] for a in [first_slot, last_slot).
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
// Per row of constraint_rows, its nonzero positions where the problem's
// builders recorded them, else none.
std::vector<std::span<const std::uint32_t>> known_supports(const QpProblem& problem);

// V of a problem: the factor columns, the equality rows, the inequality rows.
std::expected<std::shared_ptr<const ReducedColumns>, SolverError> problem_columns(const QpProblem& problem);

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
