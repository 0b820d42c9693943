#include "morva/matrix.hpp"

#include <algorithm>
#include <cassert>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <memory>
#include <utility>

#include "detail/dense_cholesky.hpp"
#include "detail/group_scan.hpp"
#include "detail/vector_ops.hpp"
#include "factor_products.hpp"
#include "large_storage.hpp"
#include "morva/large_storage.hpp"

namespace morva {
namespace {

// Relative tolerance of the symmetry test on a dense Ω:
// |Ω_rc − Ω_cr| ≤ kSymmetryTolerance · max(|Ω_rc|, |Ω_cr|, 1).
constexpr double kSymmetryTolerance = 1e-12;
// Factor count from which the rows of F·s are summed in four partial sums.
// Below it the left-to-right sum is as fast, and small hand-checked forms keep
// their exact left-to-right results.
constexpr std::size_t kPartialSumMinFactors = 8;
// From kPartialSumMinFactors factors and kReadOnceMinEntries entries on, P·x
// skips the all-zero column groups of F's rows (industry models: a market,
// an industry and the styles) when its first kSparseRowSample rows hold at
// most k / kSparseRowDivisor nonzeros each on average.
constexpr std::size_t kSparseRowDivisor = 4;
constexpr std::size_t kSparseRowSample = 16;
// create() records F's nonzero column groups when at most 1 / this of them
// hold a nonzero: P·x then reads a quarter of F or less, and the record
// (4 bytes for a group of 32, and a count per row) stays small beside F.
constexpr std::size_t kRecordedGroupDivisor = 4;

// True when a·b does not fit in 64 bits.
bool product_overflows(std::uint64_t a, std::uint64_t b) {
  return a != 0 && b > std::numeric_limits<std::uint64_t>::max() / a;
}

using detail::all_finite;
using detail::finite_non_negative;

// F·s row i as apply_into sums it: left to right below kPartialSumMinFactors
// factors, in detail::dot4's four partial sums from there on.
double factor_row_dot(const double* row, std::span<const double> s) {
  const std::size_t k = s.size();
  return k < kPartialSumMinFactors ? detail::row_dot({row, k}, s) : detail::dot4(row, s.data(), k);
}

// F's rows as apply_reading_once's first pass records them for its second:
// per row, the column groups with a nonzero entry (detail::add_scaled_groups).
struct RecordedGroups {
  std::unique_ptr<std::uint32_t[]> groups;
  std::unique_ptr<double[]> values;  // four per group
  std::vector<std::size_t> end;      // per row: one past its last group
};

// Whether F's leading rows hold few enough nonzeros that skipping the zero
// column groups pays: at most k / kSparseRowDivisor per row on average.
bool mostly_zero(const Matrix& factors, std::size_t m) {
  const std::size_t k = factors.cols();
  const std::size_t sample = std::min(m, kSparseRowSample);
  std::size_t nonzeros = 0;
  for (std::size_t i = 0; i < sample; ++i) nonzeros += detail::count_nonzeros(factors.row(i).data(), k);
  return nonzeros * kSparseRowDivisor <= sample * k;
}

// P·x as apply_into forms it, bit for bit, reading F once. The first pass
// forms t = Fᵀ·x row after row, each t_c taking its terms in increasing row
// as detail::add_scaled_rows does, but skipping the column groups of a row
// that are all zero and recording the others (for a finite x the skipped
// products are zeros, which leave sums that start at +0 as they are). The
// second sums each row over its recorded groups into dot4's partial sums
// (detail::dot4_groups), unless s is not finite, where a skipped 0·s_c
// would not be zero: then every row is summed from F again.
void apply_reading_once(const FactorQuad& quadratic, std::span<const double> x, std::span<double> out,
                        std::span<double> t, std::span<double> s) {
  const std::size_t m = out.size();
  const std::size_t k = quadratic.factors.cols();
  const double* f = quadratic.factors.data().data();
  const std::size_t most = m * (k / 4);  // groups of all the rows
  RecordedGroups rows{std::make_unique_for_overwrite<std::uint32_t[]>(most),
                      std::make_unique_for_overwrite<double[]>(4 * most), std::vector<std::size_t>(m)};
  std::fill(t.begin(), t.begin() + static_cast<std::ptrdiff_t>(k), 0.0);
  std::size_t used = 0;
  for (std::size_t i = 0; i < m; ++i) {
    used += detail::add_scaled_groups(f + i * k, k, x[i], t.data(), rows.groups.get() + used,
                                      rows.values.get() + 4 * used);
    rows.end[i] = used;
  }
  quadratic.omega.times(t.first(k), s);
  const std::span<const double> s_used = s.first(k);
  if (!all_finite(s_used)) {
    for (std::size_t i = 0; i < m; ++i)
      out[i] = quadratic.diagonal[i] * x[i] + factor_row_dot(f + i * k, s_used);
    return;
  }
  std::size_t start = 0;
  for (std::size_t i = 0; i < m; ++i) {
    const double dot = detail::dot4_groups(rows.values.get() + 4 * start, rows.groups.get() + start,
                                           rows.end[i] - start, f + i * k, s_used.data(), k);
    out[i] = quadratic.diagonal[i] * x[i] + dot;
    start = rows.end[i];
  }
}

// out_i = d_i·x_i + F_i·s as apply_into sums each row, over the nonzero
// groups create() recorded for F's rows (their packed entries): dot4's sums
// exactly, a skipped group adding zeros. Where s is not finite, where a
// skipped 0·s_c would not be zero, every row is summed from F.
void rows_by_groups(const FactorQuad& quadratic, const FactorGroups& record, std::span<const double> x,
                    std::span<const double> s_used, std::span<double> out) {
  const std::size_t k = quadratic.factors.cols();
  const double* f = quadratic.factors.data().data();
  const std::uint32_t* groups = record.groups.data();
  const double* packed = record.values.data();
  const bool s_finite = all_finite(s_used);
  std::size_t start = 0;
  for (std::size_t i = 0; i < out.size(); ++i) {
    const double* row = f + i * k;
    const double dot = s_finite ? detail::dot4_groups(packed + 4 * start, groups + start,
                                                      record.end[i] - start, row, s_used.data(), k)
                                : factor_row_dot(row, s_used);
    out[i] = quadratic.diagonal[i] * x[i] + dot;
    start = record.end[i];
  }
}

// P·x as apply_into forms it, bit for bit, over the nonzero groups create()
// recorded for F's rows: apply_reading_once's two passes with the record
// made beforehand, each group read from the record's copy of its entries.
// Where s is not finite every row is summed from F, as there.
void apply_by_groups(const FactorQuad& quadratic, const FactorGroups& record, std::span<const double> x,
                     std::span<double> out, std::span<double> t, std::span<double> s) {
  const std::size_t m = out.size();
  const std::size_t k = quadratic.factors.cols();
  const double* f = quadratic.factors.data().data();
  const std::uint32_t* groups = record.groups.data();
  std::fill(t.begin(), t.begin() + static_cast<std::ptrdiff_t>(k), 0.0);
  const double* packed = record.values.data();
  std::size_t start = 0;
  for (std::size_t i = 0; i < m; ++i) {
    detail::add_scaled_row_groups(packed + 4 * start, f + i * k, k, x[i], t.data(), groups + start,
                                  record.end[i] - start);
    start = record.end[i];
  }
  quadratic.omega.times(t.first(k), s);
  rows_by_groups(quadratic, record, x, s.first(k), out);
}

// Rows of F taken at a time when F is copied in: each block is scanned right
// after its copy, from the first-level cache (ten rows of 100 factors).
constexpr std::size_t kCopyBlockBytes = std::size_t{8} << 10;

// The scan of F's n×k values at `source`. Where `copy` is given, each block
// of rows is first appended to it and scanned there: the caller's memory is
// read once for the copy and the scan. The record is kept where at most
// 1 / kRecordedGroupDivisor of F's column groups hold a nonzero; its
// `factors` are left for the caller to set.
std::pair<bool, std::unique_ptr<FactorGroups>> scan_rows(const double* source, std::size_t n, std::size_t k,
                                                         std::vector<double>* copy) {
  std::unique_ptr<FactorGroups> record;
  std::size_t room = 0;
  if (k >= kPartialSumMinFactors && n > 0) {
    record = std::make_unique<FactorGroups>();
    room = n * (k / 4) / kRecordedGroupDivisor;
    record->groups.resize(room + k / 4);
    // Written by the scan before it is read (past the record's end, never
    // read): a block an earlier record left, as it is.
    record->values = storage_for_overwrite(4 * record->groups.size());
    record->end.resize(n);
  }
  std::uint32_t* groups = record ? record->groups.data() : nullptr;
  double* packed = record ? record->values.data() : nullptr;
  detail::GroupScan scan{.finite = true, .recorded = record != nullptr};
  // F scanned where it is needs no blocks: one call reads it.
  const std::size_t block =
      copy == nullptr
          ? std::max<std::size_t>(n, 1)
          : std::max<std::size_t>(1, kCopyBlockBytes / sizeof(double) / std::max<std::size_t>(k, 1));
  for (std::size_t first = 0; first < n; first += block) {
    const std::size_t rows = std::min(block, n - first);
    const double* values = source + first * k;
    if (copy != nullptr) {
      copy->insert(copy->end(), values, values + rows * k);
      values = copy->data() + first * k;
    }
    std::size_t* row_end = record ? record->end.data() + first : nullptr;
    scan = detail::scan_groups(values, rows, k, room, groups, packed, row_end, scan);
  }
  if (!scan.finite || !scan.recorded) return {scan.finite, nullptr};
  record->groups.resize(record->end.back());
  record->groups.shrink_to_fit();
  return {true, std::move(record)};
}

// out[i] = A.row(i)·x, each a left-to-right sum over the common length, four
// rows' chains advancing together: the kernel, and so the bits, of
// row_products (matrix_products.hpp), which the modules above this one use.
void row_products(const Matrix& a, std::span<const double> x, std::span<double> out) {
  const double* data = a.data().data();
  const std::size_t cols = a.cols();
  detail::dot_rows([&](std::size_t i) { return data + i * cols; }, a.rows(), x.data(),
                   std::min(cols, x.size()), out.data());
}

}  // namespace

// ---------------------------------------------------------------- Matrix

std::expected<Matrix, MatrixError> Matrix::create(std::uint64_t rows, std::uint64_t cols,
                                                  std::vector<double> data) {
  if (product_overflows(rows, cols)) return std::unexpected(MatrixError::dimension_overflow(rows, cols));
  if (static_cast<std::uint64_t>(data.size()) != rows * cols) {
    return std::unexpected(MatrixError::shape_mismatch(rows, cols, data.size()));
  }
  return Matrix(static_cast<std::size_t>(rows), static_cast<std::size_t>(cols), std::move(data));
}

std::expected<Matrix, MatrixError> Matrix::from_rows(const std::vector<std::vector<double>>& rows,
                                                     std::uint64_t cols) {
  const std::uint64_t row_count = rows.size();
  if (product_overflows(row_count, cols)) {
    return std::unexpected(MatrixError::dimension_overflow(row_count, cols));
  }
  for (std::size_t i = 0; i < rows.size(); ++i) {
    if (rows[i].size() != cols) return std::unexpected(MatrixError::ragged_row(i, rows[i].size(), cols));
  }
  std::vector<double> data;
  data.reserve(static_cast<std::size_t>(row_count * cols));
  for (const auto& row : rows) data.insert(data.end(), row.begin(), row.end());
  return Matrix(rows.size(), static_cast<std::size_t>(cols), std::move(data));
}

Matrix Matrix::zeros(std::size_t rows, std::size_t cols) {
  // A large one in a kept block where one fits (zeroed here), so that a
  // process solving problem after problem does not fault its pages in again.
  if (rows * cols * sizeof(double) < kKeptBlockBytes)
    return Matrix(rows, cols, std::vector<double>(rows * cols, 0.0));
  std::vector<double> values = large_storage(rows * cols);
  values.assign(rows * cols, 0.0);
  return Matrix(rows, cols, std::move(values));
}

Matrix::Matrix(std::size_t rows, std::size_t cols, std::vector<double> data)
    : rows_(rows), cols_(cols), data_(std::move(data)), values_(data_.owned_data()) {}

Matrix Matrix::rows_of(const Matrix& m, std::size_t first, std::size_t count) {
  Matrix window = m;
  window.rows_ = count;
  if (window.values_ != nullptr) window.values_ += first * m.cols_;
  return window;
}

void Matrix::own_window() {
  data_ = SharedValues(std::vector<double>(values(), values() + size()));
  values_ = data_.owned_data();
}

void Matrix::SharedValues::release() noexcept {
  // The last holder deletes the values; acquire-release orders every other
  // holder's reads before that.
  if (block_->holders.fetch_sub(1, std::memory_order_acq_rel) == 1) {
    keep_storage(block_->values);
    delete block_;
  }
  block_ = nullptr;
}

bool Matrix::operator==(const Matrix& other) const {
  // Windows compare by their values, wherever those sit.
  return rows_ == other.rows_ && cols_ == other.cols_ && std::ranges::equal(data(), other.data());
}

std::vector<double> Matrix::mul_vec(std::span<const double> x) const {
  std::vector<double> y(rows_, 0.0);
  row_products(*this, x, y);
  return y;
}

// ---------------------------------------------------------------- factor form

std::size_t FactorCovariance::size() const {
  return is_dense() ? dense_matrix().rows() : diagonal_values().size();
}

FactorGroups::~FactorGroups() {
  keep_storage(values);
}

FactorScan FactorScan::of(Matrix factors) {
  auto [finite, record] = scan_rows(factors.data().data(), factors.rows(), factors.cols(), nullptr);
  if (record) record->factors = factors;
  return FactorScan(std::move(factors), finite, std::move(record));
}

std::expected<FactorScan, MatrixError> FactorScan::copied(std::uint64_t rows, std::uint64_t cols,
                                                          const double* values) {
  if (product_overflows(rows, cols)) return std::unexpected(MatrixError::dimension_overflow(rows, cols));
  std::vector<double> copy = large_storage(rows * cols);
  auto [finite, record] = scan_rows(values, rows, cols, &copy);
  auto factors = Matrix::create(rows, cols, std::move(copy));  // holds rows·cols values
  if (record) record->factors = *factors;
  return FactorScan(std::move(*factors), finite, std::move(record));
}

std::expected<FactorQuad, ProblemError> FactorQuad::create(Matrix factors, FactorCovariance omega,
                                                           std::vector<double> diagonal) {
  return create(FactorScan::of(std::move(factors)), std::move(omega), std::move(diagonal));
}

std::expected<FactorQuad, ProblemError> FactorQuad::create(FactorScan factors, FactorCovariance omega,
                                                           std::vector<double> diagonal) {
  FactorQuad form{std::move(factors.factors_), std::move(omega), std::move(diagonal)};
  // The scan read F once for its finiteness and its groups; where it found
  // an entry that is not finite, validate reads F again to report it in turn.
  if (auto valid = form.validate(factors.finite_ ? DataEntries::KnownFinite : DataEntries::Check); !valid) {
    return std::unexpected(std::move(valid.error()));
  }
  form.row_groups = std::move(factors.record_);
  return form;
}

std::expected<void, ProblemError> FactorQuad::validate(DataEntries entries) const {
  const std::size_t n = factors.rows();
  const std::size_t k = factors.cols();
  if (diagonal.size() != n) {
    return std::unexpected(ProblemError::dimension_mismatch("quadratic.diagonal", n, diagonal.size()));
  }
  if (omega.size() != k) {
    return std::unexpected(ProblemError::dimension_mismatch("quadratic.omega", k, omega.size()));
  }
  if (entries == DataEntries::Check && !all_finite(factors.data())) {
    return std::unexpected(ProblemError::non_finite("quadratic.factors"));
  }
  if (!std::all_of(diagonal.begin(), diagonal.end(), finite_non_negative)) {
    return std::unexpected(ProblemError::non_convex("quadratic diagonal must be finite and non-negative"));
  }
  if (omega.is_dense()) {
    const Matrix& w = omega.dense_matrix();
    if (w.cols() != k) return std::unexpected(ProblemError::not_square("quadratic.omega"));
    if (!all_finite(w.data())) return std::unexpected(ProblemError::non_finite("quadratic.omega"));
    for (std::size_t r = 0; r < k; ++r) {
      for (std::size_t c = 0; c < r; ++c) {
        const double lower = w(r, c);
        const double upper = w(c, r);
        const double scale = std::max({std::abs(upper), std::abs(lower), 1.0});
        if (!(std::abs(lower - upper) <= kSymmetryTolerance * scale)) {
          return std::unexpected(ProblemError::not_symmetric("quadratic.omega"));
        }
      }
    }
  } else {
    const auto& w = omega.diagonal_values();
    if (!std::all_of(w.begin(), w.end(), finite_non_negative)) {
      return std::unexpected(
          ProblemError::non_convex("factor covariance diagonal must be finite and non-negative"));
    }
  }
  return {};
}

void FactorCovariance::times(std::span<const double> t, std::span<double> s) const {
  if (is_dense()) {
    // Each row's plain left-to-right sum, four rows' chains advancing together.
    const Matrix& w = dense_matrix();
    row_products(w, t.first(w.cols()), s);
  } else {
    const auto& w = diagonal_values();
    for (std::size_t j = 0; j < w.size(); ++j) s[j] = t[j] * w[j];
  }
}

std::vector<double> FactorQuad::apply(std::span<const double> x) const {
  const std::size_t k = factors.cols();
  const std::size_t m = std::min(x.size(), factors.rows());
  std::vector<double> out(m);
  std::vector<double> t(k);
  std::vector<double> s(k);
  if (k >= kPartialSumMinFactors && all_finite(x.first(m))) {
    if (applicable(row_groups.get(), factors) != nullptr) {
      apply_by_groups(*this, *row_groups, x, out, t, s);
      return out;
    }
    if (m * k >= kReadOnceMinEntries && mostly_zero(factors, m)) {
      apply_reading_once(*this, x, out, t, s);
      return out;
    }
  }
  apply_into(x, out, t, s);
  return out;
}

void FactorQuad::apply_into(std::span<const double> x, std::span<double> out, std::span<double> t,
                            std::span<double> s) const {
  const std::size_t k = factors.cols();
  const std::size_t m = std::min(x.size(), factors.rows());
  assert(out.size() >= m && t.size() >= k && s.size() >= k);
  assert(diagonal.size() >= m && omega.size() == k);
  const double* f = factors.data().data();

  // t = Fᵀ·x, accumulated row by row so F is streamed once in storage order
  // (four rows per pass over t, each entry still taking the rows in order).
  std::fill(t.begin(), t.begin() + static_cast<std::ptrdiff_t>(k), 0.0);
  detail::add_scaled_rows([f, k](std::size_t i) { return f + i * k; }, m, x.data(), k, t.data());
  apply_from_transpose(*this, x, t.first(k), out.first(m), s);
}

void apply_from_transpose(const FactorQuad& quadratic, std::span<const double> x, std::span<const double> t,
                          std::span<double> out, std::span<double> s) {
  const Matrix& factors = quadratic.factors;
  const std::size_t k = factors.cols();
  const double* f = factors.data().data();
  quadratic.omega.times(t.first(k), s);

  // y = d∘x + F·s. With few factors each row dot product F_i·s runs left to
  // right. From kPartialSumMinFactors factors on, a single accumulator makes
  // the row a serial chain of k dependent additions, so the row is summed in
  // four interleaved partial sums instead (detail::dot4 states
  // the order); the result may then differ from the left-to-right sum in the
  // last bits, deterministically.
  const std::span<const double> s_used = s.first(k);
  const std::vector<double>& d = quadratic.diagonal;
  if (k < kPartialSumMinFactors) {
    for (std::size_t i = 0; i < out.size(); ++i)
      out[i] = d[i] * x[i] + detail::row_dot(factors.row(i), s_used);
  } else if (applicable(quadratic.row_groups.get(), factors) != nullptr) {
    // The recorded groups' packed entries, a fifth of F for an industry
    // model: d_i·x_i + dot is dot + d_i·x_i, bit for bit.
    rows_by_groups(quadratic, *quadratic.row_groups, x, s_used, out);
  } else {
    // The dot4 sums four rows at a time (dot4_rows), then d∘x added to each
    // (a + b is b + a, bit for bit).
    detail::dot4_rows(s_used.data(), f, k, out.size(), k, out.data());
    for (std::size_t i = 0; i < out.size(); ++i) out[i] = d[i] * x[i] + out[i];
  }
}

}  // namespace morva
