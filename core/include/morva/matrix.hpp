// Dense row-major matrices and the factor quadratic form
// P = diag(d) + F·Ω·Fᵀ, with the scan of F that finds its nonzero
// structure.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <memory>
#include <span>
#include <utility>
#include <variant>
#include <vector>

#include "morva/error_types.hpp"

namespace morva {

// Row-major dense matrix. Invariant: rows·cols fits in 64 bits and data holds
// exactly rows·cols values; row i is data[i·cols, (i+1)·cols).
//
// Copies, and blocks of rows (rows_of), share their values until one is
// written through a mutable accessor, which first takes a copy of its own
// when they are shared (copy on write): lowering a problem to its QP, or
// holding it in a sequence, copies no matrix. A mutable span or reference
// stays valid, and private to its matrix, until that matrix is copied;
// copies read shared values only through const access, so threads sharing
// them only read. Each mutable access asks whether the values are shared: a
// loop takes data() or row() once.
class Matrix {
 public:
  Matrix() = default;  // 0×0

  // Checks overflow of rows·cols first, then the number of values.
  static std::expected<Matrix, MatrixError> create(std::uint64_t rows, std::uint64_t cols,
                                                   std::vector<double> data);
  // Rows of unequal length are rejected with RaggedRow.
  static std::expected<Matrix, MatrixError> from_rows(const std::vector<std::vector<double>>& rows,
                                                      std::uint64_t cols);
  static Matrix zeros(std::size_t rows, std::size_t cols);
  // Rows [first, first + count) of `m` (within its rows), sharing its values.
  static Matrix rows_of(const Matrix& m, std::size_t first, std::size_t count);

  std::size_t rows() const { return rows_; }
  std::size_t cols() const { return cols_; }
  std::span<const double> data() const { return {values(), size()}; }
  std::span<double> data() { return {owned_values(), size()}; }
  std::span<const double> row(std::size_t i) const { return {values() + i * cols_, cols_}; }
  std::span<double> row(std::size_t i) { return {owned_values() + i * cols_, cols_}; }
  double operator()(std::size_t i, std::size_t j) const { return values()[i * cols_ + j]; }
  double& operator()(std::size_t i, std::size_t j) { return owned_values()[i * cols_ + j]; }

  // y_i = Σ_j A_ij·x_j over the first min(cols, len x) columns, left to right.
  std::vector<double> mul_vec(std::span<const double> x) const;

  // Same shape and equal values (compared as doubles: NaN ≠ NaN, −0 = +0).
  bool operator==(const Matrix& other) const;
  // The same shape over the same values at the same address: a copy not
  // written since (a write would have given it values of its own).
  bool shares_values_with(const Matrix& other) const {
    return values() == other.values() && rows_ == other.rows_ && cols_ == other.cols_;
  }

 private:
  Matrix(std::size_t rows, std::size_t cols, std::vector<double> data);

  // The values of a matrix and its copies, with the count of their holders;
  // none in a default or moved-from matrix. The destructor is constexpr so
  // that a default matrix may live in a constant expression.
  class SharedValues {
   public:
    constexpr SharedValues() = default;
    explicit SharedValues(std::vector<double> values) : block_(new Block{1, std::move(values)}) {}
    SharedValues(const SharedValues& other) noexcept : block_(other.block_) {
      if (block_ != nullptr) block_->holders.fetch_add(1, std::memory_order_relaxed);
    }
    SharedValues(SharedValues&& other) noexcept : block_(std::exchange(other.block_, nullptr)) {}
    SharedValues& operator=(SharedValues other) noexcept {
      std::swap(block_, other.block_);
      return *this;
    }
    constexpr ~SharedValues() {
      if (block_ != nullptr) release();
    }

    const double* data() const { return block_ != nullptr ? block_->values.data() : nullptr; }
    bool shared() const { return block_ != nullptr && block_->holders.load(std::memory_order_acquire) > 1; }
    // The values for writing, by a holder that is not shared().
    double* owned_data() const { return block_ != nullptr ? block_->values.data() : nullptr; }

   private:
    struct Block {
      std::atomic<std::size_t> holders;
      std::vector<double> values;
    };
    void release() noexcept;

    Block* block_ = nullptr;
  };

  const double* values() const { return values_; }
  std::size_t size() const { return data_.data() != nullptr ? rows_ * cols_ : 0; }
  double* owned_values() {
    if (data_.shared()) own_window();
    return values_;
  }
  // The values of this window as a block of their own.
  void own_window();

  std::size_t rows_ = 0;
  std::size_t cols_ = 0;
  SharedValues data_;
  // This matrix's first value among the shared ones, kept beside them so
  // that reading an entry follows no pointer to the shared block.
  double* values_ = nullptr;
};

// Whether a validation reads every entry of the dense data (F, A_eq, A_in)
// for finiteness, or takes them as known finite: a lowered portfolio's were
// checked, once, by the builders that stored them.
enum class DataEntries { Check, KnownFinite };

// The factor covariance Ω: Dense (k×k matrix, validated symmetric) or Diagonal (ω).
struct FactorCovariance {
  std::variant<Matrix, std::vector<double>> value;

  static FactorCovariance dense(Matrix omega) { return {std::move(omega)}; }
  static FactorCovariance diagonal(std::vector<double> omega) { return {std::move(omega)}; }

  bool is_dense() const { return value.index() == 0; }
  const Matrix& dense_matrix() const { return std::get<0>(value); }
  Matrix& dense_matrix() { return std::get<0>(value); }
  const std::vector<double>& diagonal_values() const { return std::get<1>(value); }
  std::vector<double>& diagonal_values() { return std::get<1>(value); }
  // Rows of a dense Ω or length of a diagonal one.
  std::size_t size() const;
  // s = Ω·t (size() entries each); a dense row is summed left to right, as
  // Matrix::mul_vec sums it.
  void times(std::span<const double> t, std::span<double> s) const;

  bool operator==(const FactorCovariance&) const = default;
};

// F's nonzero structure, recorded by the read checking F finite for a
// mostly-zero F (internal to the core, which alone reads it), and its release.
struct FactorGroups;
struct FactorGroupsRelease {
  void operator()(const FactorGroups* record) const;
};

// F with what one read of it found: whether every entry is finite and,
// where F is mostly zero, its nonzero structure. Made only by its readers,
// so what it says holds for its F. A mostly-zero F copied in or read from
// compressed rows may be held by its structure alone, never written out
// densely.
class FactorScan {
 public:
  FactorScan() = default;  // a 0×0 F
  // A copy shares F's values and scans them again for a structure of its
  // own (or copies the structure that holds F alone).
  FactorScan(const FactorScan& other);
  FactorScan& operator=(const FactorScan& other) { return *this = FactorScan(other); }
  FactorScan(FactorScan&&) noexcept = default;
  FactorScan& operator=(FactorScan&&) noexcept = default;
  ~FactorScan() = default;
  // F scanned where it is.
  static FactorScan of(Matrix factors);
  // F copied from the caller's rows×cols row-major `values`, each block of
  // rows scanned from cache right after its copy: the caller's memory is read
  // once. A mostly-zero F is scanned where it is instead, and not copied
  // where its structure can hold it alone. The shape fails as
  // Matrix::create's does.
  static std::expected<FactorScan, MatrixError> copied(std::uint64_t rows, std::uint64_t cols,
                                                       const double* values);
  // F from its compressed rows: row i stores values[s] at column
  // columns[s] for s in [row_starts[i], row_starts[i + 1]), columns
  // increasing. Its structure is recorded from the stored positions and,
  // where the structure is kept (F finite and mostly zero), holds F alone:
  // nothing of F is written out or scanned.
  static std::expected<FactorScan, MatrixError> compressed(std::uint64_t rows, std::uint64_t cols,
                                                           std::span<const std::int64_t> row_starts,
                                                           std::span<const std::int64_t> columns,
                                                           std::span<const double> values);

  // F (written out first where its structure holds it alone).
  const Matrix& factors() const;
  bool finite() const { return finite_; }
  // The structure found, handed over to the form that takes F (none left).
  std::shared_ptr<const FactorGroups> take_structure() { return std::move(record_); }

 private:
  // Owned alone until the form takes it (a unique_ptr leaves the default
  // scan, and the inputs that hold one, usable in constant expressions).
  using Record = std::unique_ptr<FactorGroups, FactorGroupsRelease>;
  FactorScan(Matrix factors, bool finite, Record record)
      : factors_(std::move(factors)), finite_(finite), record_(std::move(record)) {}
  friend struct FactorQuad;

  Matrix factors_;  // F, or 0×0 where the record holds it alone
  bool finite_ = true;
  Record record_;
};

// P = diag(d) + F·Ω·Fᵀ, never formed. n = assets(), k = factor_count().
//
// F is held densely or, mostly zero, by the record of its nonzero groups
// alone; factors() writes it out on demand (dumps, views).
// The solver reads F through FactorRows, which meets the same entries in
// the same order either way, so answers agree bit for bit.
struct FactorQuad {
  FactorCovariance omega;        // Ω, k×k
  std::vector<double> diagonal;  // d, n specific variances

  FactorQuad() = default;
  // The form over a dense F, unvalidated, its structure not recorded.
  FactorQuad(Matrix factors, FactorCovariance omega, std::vector<double> diagonal)
      : omega(std::move(omega)), diagonal(std::move(diagonal)), factors_(std::move(factors)) {}

  // Assembles the form and validates it.
  static std::expected<FactorQuad, ProblemError> create(Matrix factors, FactorCovariance omega,
                                                        std::vector<double> diagonal);
  // The same with F scanned already: F is not read again where it is finite.
  static std::expected<FactorQuad, ProblemError> create(FactorScan factors, FactorCovariance omega,
                                                        std::vector<double> diagonal);

  std::size_t assets() const;
  std::size_t factor_count() const;
  // F, n×k. Where the record holds F alone it is written out on the first
  // call, once for this form and every copy of it.
  const Matrix& factors() const;
  // F for writing, held densely from now on (its record dropped).
  Matrix& written_factors();
  // The same F and Ω over the specific variances `d`.
  FactorQuad with_diagonal(std::vector<double> d) const;
  // F's nonzero structure where create() found F mostly zero, otherwise
  // none (read through FactorRows): P·x is the same either way, bit for bit.
  const std::shared_ptr<const FactorGroups>& row_groups() const { return row_groups_; }
  // Whether the record holds F alone (no dense F kept).
  bool holds_factors_sparsely() const;

  // First violated rule: diagonal length, Ω size, F finite (unless known),
  // d ≥ 0 finite, then Ω square / finite / symmetric (dense) or ω ≥ 0 finite
  // (diagonal).
  std::expected<void, ProblemError> validate(DataEntries entries = DataEntries::Check) const;

  // P·x in O(n·k): t = Fᵀx (row-wise), s = Ω·t, y = d∘x + F·s.
  std::vector<double> apply(std::span<const double> x) const;
  // Allocation-free form: `t` and `s` are k-sized scratch, `out` has min(len x, n) entries.
  void apply_into(std::span<const double> x, std::span<double> out, std::span<double> t,
                  std::span<double> s) const;

  // The form's values; the record of F's groups is derived from them.
  bool operator==(const FactorQuad& other) const;

 private:
  Matrix factors_;  // F, or 0×0 where row_groups_ holds it alone
  std::shared_ptr<const FactorGroups> row_groups_ = {};
};

}  // namespace morva
