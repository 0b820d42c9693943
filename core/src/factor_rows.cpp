#include "factor_rows.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <memory>
#include <optional>

#include "detail/dense_cholesky.hpp"
#include "detail/vector_ops.hpp"
#include "factor_products.hpp"
#include "large_storage.hpp"
#include "morva/large_storage.hpp"

namespace morva {
namespace {

// From kPartialSumMinFactors factors and kReadOnceMinEntries entries on, P·x
// skips the all-zero column groups of F's rows when its first
// kSparseRowSample rows hold at most k / kSparseRowDivisor nonzeros each.
constexpr std::size_t kSparseRowDivisor = 4;
constexpr std::size_t kSparseRowSample = 16;
// The scan records F's nonzero column groups when at most 1 / this of them
// hold a nonzero: P·x then reads a quarter of F or less, and the record
// (4 bytes for a group of 32, and a count per row) stays small beside F.
constexpr std::size_t kRecordedGroupDivisor = 4;
// Rows of F taken at a time when F is copied in: each block is scanned right
// after its copy, from the first-level cache (ten rows of 100 factors).
constexpr std::size_t kCopyBlockBytes = std::size_t{8} << 10;

// ---------------------------------------------------------------- the scan

// What scan_groups found so far, handed from the scan of one block of rows
// to the next.
struct GroupScan {
  bool finite = true;        // every entry finite
  bool recorded = false;     // groups and row_end hold the record (while scanning: still recording)
  std::size_t used = 0;      // groups recorded
  bool signed_zero = false;  // a group left out of the record holds a −0
};

// scan_groups reads the rows×len block at `values` once, for finiteness and,
// while the groups found fit in `room`, the record: group g of row i (its
// columns [4g, 4g + 4)) is appended to `groups` when it holds a nonzero (a
// NaN does, a zero of either sign does not), its entries to `packed`, and
// row_end[i] is one past row i's last group; columns past the last whole
// group are not grouped; a group left out that holds a −0 is noted.
// `groups` has room + len / 4 slots, `packed` four times as many. `so_far` is what the blocks before found
// (the first call passes recorded = true to record). The portable and the AVX2 form give the same record.
//
// v·0 is ±0 for a finite v and NaN otherwise: a sum of them stays zero
// exactly while every entry is finite. Groups are written unconditionally
// and kept by advancing the count, so an unpredictable industry column
// costs no branch; past `room` the record is given up.
GroupScan scan_groups_narrow(const double* values, std::size_t rows, std::size_t len, std::size_t room,
                             std::uint32_t* groups, double* packed, std::size_t* row_end, GroupScan so_far) {
  const std::size_t whole = len / 4;
  double zero[4] = {0.0, 0.0, 0.0, 0.0};
  bool recording = so_far.recorded;
  bool signed_zero = so_far.signed_zero;
  std::size_t used = so_far.used;
  for (std::size_t i = 0; i < rows; ++i) {
    const double* row = values + i * len;
    for (std::size_t g = 0; g < whole; ++g) {
      const double* p = row + 4 * g;
      for (std::size_t j = 0; j < 4; ++j) zero[j] += p[j] * 0.0;
      if (recording) {
        groups[used] = static_cast<std::uint32_t>(g);
        std::memcpy(packed + 4 * used, p, 4 * sizeof(double));
        const bool kept = detail::any_nonzero4(p);
        used += kept ? 1 : 0;
        signed_zero = signed_zero || (!kept && std::ranges::any_of(std::span(p, 4),
                                                                   [](double v) { return std::signbit(v); }));
      }
    }
    for (std::size_t c = 4 * whole; c < len; ++c) zero[c % 4] += row[c] * 0.0;
    if (recording) {
      row_end[i] = used;
      recording = used <= room;
    }
  }
  return {so_far.finite && zero[0] == 0.0 && zero[1] == 0.0 && zero[2] == 0.0 && zero[3] == 0.0, recording,
          used, signed_zero};
}

#if defined(__GNUC__) && defined(__x86_64__)
// Here the test is v·0 ≠ 0, OR-ed into a mask: a chain of one-cycle ORs
// rather than of additions, so a block read from cache is scanned at the
// rate of its loads.
[[gnu::target("avx2")]] GroupScan scan_groups_wide(const double* values, std::size_t rows, std::size_t len,
                                                   std::size_t room, std::uint32_t* groups, double* packed,
                                                   std::size_t* row_end, GroupScan so_far) {
  using detail::Lanes4;
  using Mask4 = long long __attribute__((vector_size(32)));
  const std::size_t whole = len / 4;
  const Lanes4 nil = detail::splat4(0.0);
  Mask4 infinite = Mask4{0, 0, 0, 0};
  double tail = 0.0;
  bool recording = so_far.recorded;
  int signs = so_far.signed_zero ? 1 : 0;  // sign bits of the groups left out
  std::size_t used = so_far.used;
  for (std::size_t i = 0; i < rows; ++i) {
    const double* row = values + i * len;
    if (recording) {
      for (std::size_t g = 0; g < whole; ++g) {
        const Lanes4 v = detail::load4(row + 4 * g);
        infinite |= v * nil != nil;
        groups[used] = static_cast<std::uint32_t>(g);
        detail::store4(packed + 4 * used, v);
        const int nonzero = __builtin_ia32_movmskpd256(reinterpret_cast<Lanes4>(v != nil));
        used += nonzero != 0 ? 1 : 0;
        signs |= nonzero == 0 ? __builtin_ia32_movmskpd256(v) : 0;
      }
      row_end[i] = used;
      recording = used <= room;
    } else {
      for (std::size_t g = 0; g < whole; ++g) infinite |= detail::load4(row + 4 * g) * nil != nil;
    }
    for (std::size_t c = 4 * whole; c < len; ++c) tail += row[c] * 0.0;
  }
  const bool finite = (infinite[0] | infinite[1] | infinite[2] | infinite[3]) == 0 && tail == 0.0;
  return {so_far.finite && finite, recording, used, signs != 0};
}
#endif

using ScanKernel = GroupScan (*)(const double*, std::size_t, std::size_t, std::size_t, std::uint32_t*,
                                 double*, std::size_t*, GroupScan);

GroupScan scan_groups(const double* values, std::size_t rows, std::size_t len, std::size_t room,
                      std::uint32_t* groups, double* packed, std::size_t* row_end, GroupScan so_far) {
  static const ScanKernel kernel = [] {
#if defined(__GNUC__) && defined(__x86_64__)
    if (__builtin_cpu_supports("avx2")) return ScanKernel{scan_groups_wide};
#endif
    return ScanKernel{scan_groups_narrow};
  }();
  return kernel(values, rows, len, room, groups, packed, row_end, so_far);
}

using Record = std::unique_ptr<FactorGroups, FactorGroupsRelease>;

// The first fault of compressed rows: starts that do not rise from 0 to the
// `stored` entries, then a row whose columns do not increase below `cols`.
std::optional<MatrixError> compressed_fault(std::uint64_t rows, std::uint64_t cols,
                                            std::span<const std::int64_t> row_starts,
                                            std::span<const std::int64_t> columns, std::size_t stored) {
  if (row_starts.size() != rows + 1 || columns.size() != stored || row_starts[0] != 0 ||
      static_cast<std::uint64_t>(row_starts[rows]) != stored) {
    return MatrixError::compressed_starts(rows, stored);
  }
  for (std::size_t i = 0; i < rows; ++i) {
    if (row_starts[i + 1] < row_starts[i]) return MatrixError::compressed_starts(rows, stored);
    std::int64_t previous = -1;
    for (auto s = row_starts[i]; s < row_starts[i + 1]; ++s) {
      const std::int64_t c = columns[static_cast<std::size_t>(s)];
      if (c <= previous || static_cast<std::uint64_t>(c) >= cols)
        return MatrixError::compressed_columns(i, cols);
      previous = c;
    }
  }
  return std::nullopt;
}

// Whether the leading rows of the m×k values at f hold few enough nonzeros
// that skipping the zero column groups pays: at most k / kSparseRowDivisor
// per row on average.
bool mostly_zero(const double* f, std::size_t m, std::size_t k) {
  const std::size_t sample = std::min(m, kSparseRowSample);
  std::size_t nonzeros = 0;
  for (std::size_t i = 0; i < sample; ++i) nonzeros += detail::count_nonzeros(f + i * k, k);
  return nonzeros * kSparseRowDivisor <= sample * k;
}

// What scan_rows found: F finite, the record where kept (its `factors`
// left for the caller to set), and whether a group it leaves out holds a −0.
struct RowScan {
  bool finite;
  Record record;
  bool signed_zero;
};

// The scan of F's n×k values at `source`. Where `copy` is given, each block
// of rows is first appended to it and scanned there: the caller's memory is
// read once for the copy and the scan. The record is kept where at most
// 1 / kRecordedGroupDivisor of F's column groups hold a nonzero.
RowScan scan_rows(const double* source, std::size_t n, std::size_t k, std::vector<double>* copy) {
  Record record;
  std::size_t room = 0;
  if (k >= kPartialSumMinFactors && n > 0) {
    record.reset(new FactorGroups);
    room = n * (k / 4) / kRecordedGroupDivisor;
    record->groups.resize(room + k / 4);
    // Written by the scan before it is read (past the record's end, never
    // read): a block an earlier record left, as it is.
    record->values = storage_for_overwrite(4 * record->groups.size());
    record->end.resize(n);
  }
  std::uint32_t* groups = record ? record->groups.data() : nullptr;
  double* packed = record ? record->values.data() : nullptr;
  GroupScan scan{.finite = true, .recorded = record != nullptr};
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
    scan = scan_groups(values, rows, k, room, groups, packed, row_end, scan);
  }
  if (!scan.finite || !scan.recorded) return {scan.finite, nullptr, false};
  record->groups.resize(record->end.back());
  record->groups.shrink_to_fit();
  record->rows = n;
  record->cols = k;
  return {true, std::move(record), scan.signed_zero};
}

// The record scan_rows would make of F's compressed rows (finite, k ≥
// kPartialSumMinFactors), from the stored entries: a row's whole groups
// holding a stored nonzero, kept where at most 1 / kRecordedGroupDivisor of
// the groups do, and whether a group left out stores a −0. A first pass
// counts the groups, so that the record's block is sized exactly (a block
// sized for the most it may hold would be written whole). Nothing of F is
// written out.
RowScan record_compressed(std::size_t rows, std::size_t cols, std::span<const std::int64_t> row_starts,
                          std::span<const std::int64_t> columns, std::span<const double> values) {
  const std::size_t whole = cols / 4;
  const auto group_of = [&](std::size_t s) { return static_cast<std::size_t>(columns[s]) / 4; };
  // visit(g, s, e, nonzero): row i's whole group g stores the entries [s, e).
  const auto row_groups = [&](std::size_t i, auto visit) {
    auto s = static_cast<std::size_t>(row_starts[i]);
    const auto stop = static_cast<std::size_t>(row_starts[i + 1]);
    while (s < stop && group_of(s) < whole) {
      std::size_t e = s;
      bool nonzero = false;
      for (; e < stop && group_of(e) == group_of(s); ++e) nonzero = nonzero || values[e] != 0.0;
      visit(group_of(s), s, e, nonzero);
      s = e;
    }
  };
  std::size_t count = 0;
  bool signed_zero = false;
  for (std::size_t i = 0; i < rows; ++i) {
    row_groups(i, [&](std::size_t, std::size_t s, std::size_t e, bool nonzero) {
      count += nonzero ? 1 : 0;
      for (; !nonzero && s < e; ++s) signed_zero = signed_zero || std::signbit(values[s]);
    });
  }
  if (count > rows * whole / kRecordedGroupDivisor) return {true, nullptr, false};
  Record record(new FactorGroups);
  record->rows = rows;
  record->cols = cols;
  record->groups.reserve(count);
  record->values = storage_for_overwrite(4 * count);
  record->end.resize(rows);
  for (std::size_t i = 0; i < rows; ++i) {
    row_groups(i, [&](std::size_t g, std::size_t s, std::size_t e, bool nonzero) {
      if (!nonzero) return;
      double* entries = record->values.data() + 4 * record->groups.size();
      std::fill_n(entries, 4, 0.0);
      for (; s < e; ++s) entries[columns[s] % 4] = values[s];
      record->groups.push_back(static_cast<std::uint32_t>(g));
    });
    record->end[i] = record->groups.size();
  }
  return {true, std::move(record), signed_zero};
}

// ---------------------------------------------------------------- P·x

// The record `form` reads F through: one that describes its dense F or
// holds F alone, else none.
const FactorGroups* record_of(const FactorQuad& form) {
  const FactorGroups* record = form.row_groups().get();
  if (record == nullptr || record->alone) return record;
  return record->describes(form.factors()) ? record : nullptr;
}

// out_i = d_i·x_i + F_i·s as apply_into sums each row (k ≥
// kPartialSumMinFactors), over the nonzero groups of `record` (F's, as
// `rows` reads it): dot4's sums exactly, a skipped group adding zeros. Where
// s is not finite, where a skipped 0·s_c would not be zero, every row is
// read whole (a row's copy, on this failing path alone).
void rows_by_groups(const FactorRows& rows, const FactorGroups& record, std::span<const double> d,
                    std::span<const double> x, std::span<const double> s_used, std::span<double> out) {
  const std::size_t k = rows.cols();
  if (!detail::all_finite(s_used)) {
    std::vector<double> row(k);
    for (std::size_t i = 0; i < out.size(); ++i) {
      rows.copy_row(i, row);
      out[i] = d[i] * x[i] + detail::dot4(row.data(), s_used.data(), k);
    }
    return;
  }
  std::size_t start = 0;
  for (std::size_t i = 0; i < out.size(); ++i) {
    const double dot = detail::dot4_groups(record.values.data() + 4 * start, record.groups.data() + start,
                                           record.end[i] - start, rows.tail(i), s_used.data(), k);
    out[i] = d[i] * x[i] + dot;
    start = record.end[i];
  }
}

// t = Fᵀ·x over the recorded groups, row after row as
// detail::add_scaled_rows sums it (x finite: the skipped products are
// zeros, which leave sums from +0 as they are).
void transpose_by_groups(const FactorRows& rows, const FactorGroups& record, std::span<const double> x,
                         std::span<double> t) {
  const std::size_t k = rows.cols();
  std::fill(t.begin(), t.begin() + static_cast<std::ptrdiff_t>(k), 0.0);
  std::size_t start = 0;
  for (std::size_t i = 0; i < x.size(); ++i) {
    detail::add_scaled_row_groups(record.values.data() + 4 * start, rows.tail(i), k, x[i], t.data(),
                                  record.groups.data() + start, record.end[i] - start);
    start = record.end[i];
  }
}

// P·x as apply_into forms it, bit for bit, reading F once. The first pass
// forms t = Fᵀ·x row after row as detail::add_scaled_rows does, but over
// the recorded groups, or skipping the all-zero groups of each row and
// recording the others (for a finite x the skipped products are zeros,
// which leave sums from +0 as they are); the second sums each row over the
// groups (rows_by_groups).
void apply_by_groups(const FactorQuad& quadratic, const FactorGroups* record, std::span<const double> x,
                     std::span<double> out, std::span<double> t, std::span<double> s) {
  const std::size_t m = out.size();
  const std::size_t k = quadratic.factor_count();
  const FactorRows rows(quadratic);
  FactorGroups found;
  if (record != nullptr) {
    transpose_by_groups(rows, *record, x.first(m), t);
  } else {
    const double* f = quadratic.factors().data().data();
    std::fill(t.begin(), t.begin() + static_cast<std::ptrdiff_t>(k), 0.0);
    found.groups.resize(m * (k / 4));  // room for every group of the rows
    found.values = storage_for_overwrite(4 * found.groups.size());
    found.end.resize(m);
    std::size_t used = 0;
    for (std::size_t i = 0; i < m; ++i) {
      used += detail::add_scaled_groups(f + i * k, k, x[i], t.data(), found.groups.data() + used,
                                        found.values.data() + 4 * used);
      found.end[i] = used;
    }
    record = &found;
  }
  quadratic.omega.times(t.first(k), s);
  rows_by_groups(rows, *record, quadratic.diagonal, x, s.first(k), out);
}

}  // namespace

// ---------------------------------------------------------------- the record

FactorGroups::~FactorGroups() {
  keep_storage(values);
}

void FactorGroupsRelease::operator()(const FactorGroups* record) const {
  delete record;
}

const Matrix& FactorGroups::written_out() const {
  std::call_once(written_once_, [this] {
    written_.store(true, std::memory_order_release);
    std::vector<double> dense = large_storage(rows * cols);
    dense.resize(rows * cols);
    const std::size_t whole = cols / 4 * 4;
    for (std::size_t i = 0; i < rows; ++i) {
      double* out = dense.data() + i * cols;
      const std::span<const std::uint32_t> at = row(i);
      for (std::size_t e = 0; e < at.size(); ++e)
        std::memcpy(out + 4 * std::size_t{at[e]}, row_values(i) + 4 * e, 4 * sizeof(double));
      std::copy_n(tail.data() + i * (cols - whole), cols - whole, out + whole);
    }
    dense_ = *Matrix::create(rows, cols, std::move(dense));
  });
  return dense_;
}

std::unique_ptr<FactorGroups, FactorGroupsRelease> FactorGroups::copy() const {
  if (!alone) return nullptr;
  std::unique_ptr<FactorGroups, FactorGroupsRelease> out(new FactorGroups);
  out->rows = rows;
  out->cols = cols;
  out->alone = true;
  out->groups = groups;
  out->end = end;
  out->values.assign(values.begin(), values.begin() + static_cast<std::ptrdiff_t>(4 * groups.size()));
  out->tail = tail;
  return out;
}

FactorScan::FactorScan(const FactorScan& other)
    : FactorScan(other.record_ && other.record_->alone
                     ? FactorScan(Matrix(), other.finite_, other.record_->copy())
                     : of(other.factors_)) {}

const Matrix& FactorScan::factors() const {
  return record_ && record_->alone ? record_->written_out() : factors_;
}

FactorScan FactorScan::of(Matrix factors) {
  auto [finite, record, signed_zero] =
      scan_rows(factors.data().data(), factors.rows(), factors.cols(), nullptr);
  if (record) record->factors = factors;
  return FactorScan(std::move(factors), finite, std::move(record));
}

std::expected<FactorScan, MatrixError> FactorScan::copied(std::uint64_t rows, std::uint64_t cols,
                                                          const double* values) {
  if (cols != 0 && rows > std::numeric_limits<std::uint64_t>::max() / cols)
    return std::unexpected(MatrixError::dimension_overflow(rows, cols));
  std::vector<double> copy;
  if (cols >= kPartialSumMinFactors && rows > 0 && mostly_zero(values, rows, cols)) {
    // F mostly zero, as its first rows say: scanned where the caller holds
    // it, and not copied at all where its record can hold it alone (no −0
    // in a group left out, which the record would read as +0).
    auto [finite, record, signed_zero] = scan_rows(values, rows, cols, nullptr);
    if (record && !signed_zero) {
      const std::size_t whole = cols / 4 * 4;
      record->alone = true;
      record->tail.reserve(rows * (cols - whole));
      for (std::size_t i = 0; i < rows; ++i)
        record->tail.insert(record->tail.end(), values + i * cols + whole, values + (i + 1) * cols);
      return FactorScan(Matrix(), true, std::move(record));
    }
    copy = large_storage(rows * cols);
    copy.assign(values, values + rows * cols);
    auto factors = Matrix::create(rows, cols, std::move(copy));  // holds rows·cols values
    if (record) record->factors = *factors;
    return FactorScan(std::move(*factors), finite, std::move(record));
  }
  copy = large_storage(rows * cols);
  auto [finite, record, signed_zero] = scan_rows(values, rows, cols, &copy);
  auto factors = Matrix::create(rows, cols, std::move(copy));  // holds rows·cols values
  if (record) record->factors = *factors;
  return FactorScan(std::move(*factors), finite, std::move(record));
}

std::expected<FactorScan, MatrixError> FactorScan::compressed(std::uint64_t rows, std::uint64_t cols,
                                                              std::span<const std::int64_t> row_starts,
                                                              std::span<const std::int64_t> columns,
                                                              std::span<const double> values) {
  if (cols != 0 && rows > std::numeric_limits<std::uint64_t>::max() / cols)
    return std::unexpected(MatrixError::dimension_overflow(rows, cols));
  if (auto broken = compressed_fault(rows, cols, row_starts, columns, values.size()))
    return std::unexpected(*broken);
  const bool finite = detail::all_finite(values);
  auto [recorded, record, signed_zero] = finite && cols >= kPartialSumMinFactors && rows > 0
                                             ? record_compressed(rows, cols, row_starts, columns, values)
                                             : RowScan{finite, nullptr, false};
  if (record && !signed_zero) {
    // The record holds F: its groups, and the columns past them.
    const std::size_t whole = cols / 4 * 4;
    const std::size_t width = cols - whole;
    record->alone = true;
    record->tail.assign(rows * width, 0.0);
    for (std::size_t i = 0; i < rows; ++i) {
      for (auto s = row_starts[i]; s < row_starts[i + 1]; ++s) {
        const auto c = static_cast<std::size_t>(columns[static_cast<std::size_t>(s)]);
        if (c >= whole) record->tail[i * width + c - whole] = values[static_cast<std::size_t>(s)];
      }
    }
    return FactorScan(Matrix(), finite, std::move(record));
  }

  // F written from the stored entries.
  std::vector<double> dense = large_storage(rows * cols);
  dense.resize(rows * cols);
  for (std::size_t i = 0; i < rows; ++i) {
    double* row = dense.data() + i * cols;
    for (auto s = row_starts[i]; s < row_starts[i + 1]; ++s)
      row[columns[static_cast<std::size_t>(s)]] = values[static_cast<std::size_t>(s)];
  }
  auto factors = Matrix::create(rows, cols, std::move(dense));
  if (record) record->factors = *factors;
  return FactorScan(std::move(*factors), finite, std::move(record));
}

// ---------------------------------------------------------------- the form

std::expected<FactorQuad, ProblemError> FactorQuad::create(Matrix factors, FactorCovariance omega,
                                                           std::vector<double> diagonal) {
  return create(FactorScan::of(std::move(factors)), std::move(omega), std::move(diagonal));
}

std::expected<FactorQuad, ProblemError> FactorQuad::create(FactorScan factors, FactorCovariance omega,
                                                           std::vector<double> diagonal) {
  FactorQuad form(std::move(factors.factors_), std::move(omega), std::move(diagonal));
  form.row_groups_ = std::move(factors.record_);
  // Where the scan found an entry not finite, validate reads F again to
  // report it in turn.
  if (auto valid = form.validate(factors.finite() ? DataEntries::KnownFinite : DataEntries::Check); !valid) {
    return std::unexpected(std::move(valid.error()));
  }
  return form;
}

bool FactorQuad::holds_factors_sparsely() const {
  return row_groups_ != nullptr && row_groups_->alone;
}

std::size_t FactorQuad::assets() const {
  return holds_factors_sparsely() ? row_groups_->rows : factors_.rows();
}

std::size_t FactorQuad::factor_count() const {
  return holds_factors_sparsely() ? row_groups_->cols : factors_.cols();
}

const Matrix& FactorQuad::factors() const {
  return holds_factors_sparsely() ? row_groups_->written_out() : factors_;
}

Matrix& FactorQuad::written_factors() {
  if (holds_factors_sparsely()) factors_ = row_groups_->written_out();
  row_groups_.reset();
  return factors_;
}

FactorQuad FactorQuad::with_diagonal(std::vector<double> d) const {
  FactorQuad out(factors_, omega, std::move(d));
  out.row_groups_ = row_groups_;
  return out;
}

bool FactorQuad::operator==(const FactorQuad& other) const {
  if (!(omega == other.omega) || diagonal != other.diagonal) return false;
  if (!holds_factors_sparsely() || !other.holds_factors_sparsely()) return factors() == other.factors();
  // Records holding F alone: the same F records the same groups (those
  // holding a nonzero), and the same values up to the sign of a zero.
  const FactorGroups& a = *row_groups_;
  const FactorGroups& b = *other.row_groups_;
  const std::size_t entries = 4 * a.groups.size();
  return a.rows == b.rows && a.cols == b.cols && a.groups == b.groups && a.end == b.end && a.tail == b.tail &&
         std::equal(a.values.begin(), a.values.begin() + static_cast<std::ptrdiff_t>(entries),
                    b.values.begin());
}

std::vector<double> FactorQuad::apply(std::span<const double> x) const {
  const std::size_t k = factor_count();
  const std::size_t m = std::min(x.size(), assets());
  std::vector<double> out(m);
  std::vector<double> t(k);
  std::vector<double> s(k);
  if (k >= kPartialSumMinFactors && detail::all_finite(x.first(m))) {
    const FactorGroups* record = record_of(*this);
    if (record != nullptr || (m * k >= kReadOnceMinEntries && mostly_zero(factors_.data().data(), m, k))) {
      apply_by_groups(*this, record, x, out, t, s);
      return out;
    }
  }
  apply_into(x, out, t, s);
  return out;
}

// ---------------------------------------------------------------- the view

FactorRows::FactorRows(const FactorQuad& form)
    : dense_(form.holds_factors_sparsely() ? nullptr : form.factors().data().data()),
      rows_(form.assets()),
      cols_(form.factor_count()),
      record_(record_of(form)) {}

double FactorRows::recorded_at(std::size_t i, std::size_t c) const {
  const std::size_t whole = cols_ / 4 * 4;
  if (c >= whole) return tail(i)[c - whole];
  const std::span<const std::uint32_t> groups = record_->row(i);
  const auto g = std::ranges::lower_bound(groups, static_cast<std::uint32_t>(c / 4));
  if (g == groups.end() || *g != c / 4) return 0.0;
  return record_->row_values(i)[4 * static_cast<std::size_t>(g - groups.begin()) + c % 4];
}

void FactorRows::copy_row(std::size_t i, std::span<double> out) const {
  if (!sparse()) {
    std::copy_n(dense_ + i * cols_, cols_, out.begin());
    return;
  }
  std::fill_n(out.begin(), cols_, 0.0);
  for_each_group(
      i, [&](std::size_t first, const double* v) { std::copy_n(v, 4, out.begin() + first); },
      [&](std::size_t c, double v) { out[c] = v; });
}

std::array<std::span<const double>, 2> FactorRows::stored_values() const {
  if (!sparse()) return {std::span<const double>(dense_, rows_ * cols_), std::span<const double>()};
  return {std::span<const double>(record_->values.data(), 4 * record_->groups.size()),
          std::span<const double>(record_->tail)};
}

void FactorRows::transpose_into(std::span<const double> x, std::span<double> t) const {
  const std::size_t k = cols();
  if (!sparse()) {
    // Four rows per pass over t, each entry still taking the rows in order.
    const double* f = dense_;
    std::fill(t.begin(), t.begin() + static_cast<std::ptrdiff_t>(k), 0.0);
    detail::add_scaled_rows([f, k](std::size_t i) { return f + i * k; }, x.size(), x.data(), k, t.data());
    return;
  }
  if (detail::all_finite(x)) return transpose_by_groups(*this, *record_, x, t);
  // A non-finite x_i adds 0·x_i = NaN to every entry its row leaves out:
  // each row read whole (a copy, on this failing path alone), in order.
  std::fill(t.begin(), t.begin() + static_cast<std::ptrdiff_t>(k), 0.0);
  std::vector<double> row(k);
  for (std::size_t i = 0; i < x.size(); ++i) {
    copy_row(i, row);
    for (std::size_t c = 0; c < k; ++c) t[c] += row[c] * x[i];
  }
}

void FactorRows::add_dot4_rows(std::span<const double> d, std::span<const double> x,
                               std::span<const double> s, std::span<double> out) const {
  const std::size_t k = cols();
  if (record_ != nullptr) {
    // The recorded groups' packed entries, a fifth of F for an industry
    // model: d_i·x_i + dot is dot + d_i·x_i, bit for bit.
    rows_by_groups(*this, *record_, d, x, s, out);
    return;
  }
  // The dot4 sums four rows at a time (dot4_rows), then d∘x added to each
  // (a + b is b + a, bit for bit).
  detail::dot4_rows(s.data(), dense_, k, out.size(), k, out.data());
  for (std::size_t i = 0; i < out.size(); ++i) out[i] = d[i] * x[i] + out[i];
}

FactorRows::DownColumns::DownColumns(const FactorRows& rows, std::span<const std::size_t> columns)
    : offset_(rows.cols()) {
  const std::size_t n = rows.rows();
  if (rows.record_ == nullptr) {
    for (std::size_t c = 0; c < offset_.size(); ++c) offset_[c] = c;
    base_ = rows.dense_;
    stride_ = rows.cols();
    return;
  }
  copies_ = large_storage(columns.size() * n);
  copies_.assign(columns.size() * n, 0.0);
  std::vector<Columns::Wanted> wanted;  // (column, its start among the copies)
  for (std::size_t b = 0; b < columns.size(); ++b) {
    offset_[columns[b]] = b * n;
    wanted.emplace_back(columns[b], b * n);
  }
  const Columns picked(rows, wanted, true);
  double* out = copies_.data();
  for (std::size_t i = 0; i < n; ++i)
    picked.row(i, [&](std::size_t at, double v) MORVA_ALWAYS_INLINE { out[at + i] = v; });
  base_ = out;
}

FactorRows::DownColumns::~DownColumns() {
  keep_storage(copies_);
}

FactorRows::Columns::Columns(const FactorRows& rows, std::span<const Wanted> wanted, bool zeros_kept)
    : rows_(rows), zeros_kept_(zeros_kept), wanted_(wanted.begin(), wanted.end()) {
  if (rows.record_ == nullptr) return;
  const std::size_t whole = rows.cols() / 4;
  first_.assign(whole + 2, 0);
  for (const auto& [c, target] : wanted) {
    if (c / 4 < whole) {
      ++first_[c / 4 + 2];
    } else {
      tail_.emplace_back(c, target);
    }
  }
  for (std::size_t g = 2; g < first_.size(); ++g) first_[g] += first_[g - 1];
  entries_.resize(first_.back());
  for (const auto& [c, target] : wanted) {
    if (c / 4 < whole) entries_[first_[c / 4 + 1]++] = {static_cast<std::uint32_t>(c % 4), target};
  }
  first_.pop_back();
}

}  // namespace morva
